#include <vector>

#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/row_tensor.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
constexpr const char* kTag = "AnchorBasedYolo";
}  // namespace

TensorSet* decodeAnchorBasedYolo(const TensorSet* input, float conf, float iou) {
    const uint32_t id = input ? input->id : 0;
    RowTensor t;
    int32_t index = -1;
    if (!pickRowTensor(kTag, input, &t, &index)) return makeEmptyResult(id);
    if (t.rowSize < 6) {
        decoderWarning("Warning! [AnchorBasedYolo] Row size %d too small (need at least 6).\n",
                       t.rowSize);
        return makeEmptyResult(id);
    }
    if (!checkRowTensorData(kTag, *input, index, t)) return makeEmptyResult(id);
    const int32_t classes = t.rowSize - 5;
    decoderVerbose("[AnchorBasedYolo] Decoding %d anchors, %d classes.\n", t.rows, classes);

    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t r = 0; r < t.rows; ++r) {
        const float* row = t.data + static_cast<size_t>(r) * static_cast<size_t>(t.rowSize);
        const float objectness = row[4];
        const float* scores = row + 5;
        float best = 0.0f;
        int32_t bestClass = 0;
        for (int32_t c = 0; c < classes; ++c) {
            const float s = objectness * scores[c];
            if (s > best) {
                best = s;
                bestClass = c;
            }
        }
        if (!(best >= conf)) continue;
        const float cx = row[0], cy = row[1], w = row[2], h = row[3];
        candidates.push_back(
            {cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, best, bestClass});
    }

    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, false);
    decoderVerbose("[AnchorBasedYolo] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
