#include <cmath>
#include <cstring>
#include <vector>

#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/row_tensor.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kAnchorBasedYoloTag = "AnchorBasedYolo";

// A row's score as the plain loop "best = 0; for each class, a product
// objectness x score strictly above best replaces it" finds it: the largest
// product above 0 (NaN products never count), else 0. The order in which
// the products are compared does not change that value, so they are
// compared sixteen at a time; each product is the same single-precision
// multiplication as in the plain loop.
float bestProduct(float objectness, const float* scores, int32_t count) {
    typedef float Floats __attribute__((vector_size(16)));
    constexpr int32_t kLanes = 4;
    auto larger = [](Floats m, Floats p) { return p > m ? p : m; };  // NaN never wins
    const Floats o = Floats{} + objectness;
    Floats m0 = Floats{};  // +0, like best in the plain loop
    Floats m1 = m0, m2 = m0, m3 = m0;
    int32_t c = 0;
    for (; count - c >= 4 * kLanes; c += 4 * kLanes) {
        Floats s[4];
        std::memcpy(s, scores + c, sizeof s);
        m0 = larger(m0, o * s[0]);
        m1 = larger(m1, o * s[1]);
        m2 = larger(m2, o * s[2]);
        m3 = larger(m3, o * s[3]);
    }
    for (; count - c >= kLanes; c += kLanes) {
        Floats s;
        std::memcpy(&s, scores + c, sizeof s);
        m0 = larger(m0, o * s);
    }
    m0 = larger(larger(m0, m1), larger(m2, m3));
    m0 = larger(m0, Floats{m0[2], m0[3], m0[0], m0[1]});
    m0 = larger(m0, Floats{m0[1], m0[0], m0[3], m0[2]});
    float best = m0[0];
    for (; c < count; ++c) {
        const float product = objectness * scores[c];
        if (product > best) best = product;
    }
    return best;
}

// The class the plain loop picks for that score: the first whose product
// equals it (a later equal product does not replace it), or 0 when no
// product is above 0.
int32_t firstClassWith(float best, float objectness, const float* scores, int32_t count) {
    if (!(best > 0.0f)) return 0;
    for (int32_t c = 0; c < count; ++c) {
        if (objectness * scores[c] == best) return c;
    }
    return 0;  // not reached: best is one of the products
}

}  // namespace

TensorSet* decodeAnchorBasedYolo(const TensorSet* input, float conf, float iou) {
    const uint32_t id = input ? input->id : 0;
    RowTensor t;
    int32_t index = -1;
    if (!pickRowTensor(kAnchorBasedYoloTag, input, &t, &index)) return makeEmptyResult(id);
    if (t.rowSize < 6) {
        decoderWarning("Warning! [AnchorBasedYolo] Row size %d too small (need at least 6).\n",
                       t.rowSize);
        return makeEmptyResult(id);
    }
    if (!checkRowTensorData(kAnchorBasedYoloTag, *input, index, t)) return makeEmptyResult(id);
    const int32_t classes = t.rowSize - 5;
    decoderVerbose("[AnchorBasedYolo] Decoding %d anchors, %d classes.\n", t.rows, classes);

    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t r = 0; r < t.rows; ++r) {
        const float* row = t.data + static_cast<size_t>(r) * static_cast<size_t>(t.rowSize);
        const float objectness = row[4];
        const float* scores = row + 5;
        const float best = bestProduct(objectness, scores, classes);
        // An infinite product must not become a candidate (NaN never passes).
        if (!(best >= conf) || !std::isfinite(best)) continue;
        const int32_t bestClass = firstClassWith(best, objectness, scores, classes);
        const float cx = row[0], cy = row[1], w = row[2], h = row[3];
        candidates.push_back(
            {cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, best, bestClass});
    }

    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, false);
    decoderVerbose("[AnchorBasedYolo] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
