#include <algorithm>
#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoder_math.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kRtDetrTag = "RT-DETR";

// Unnamed outputs: every [1, ., 4] float tensor is taken as the boxes and
// every [1, ., >4] one as the logits, a later one replacing an earlier one
// (also one found by name).
void findUnnamedTensors(const TensorSet& set, int32_t* logits, int32_t* boxes) {
    const uint32_t count = tensorCount(&set);
    for (uint32_t i = 0; i < count; ++i) {
        const Tensor& t = set.tensors[i];
        if (!isBatchOfOneRank3(t) || t.elementType != QZ_ELEMENT_FLOAT32) continue;
        if (t.shape[2] == 4) {
            *boxes = static_cast<int32_t>(i);
        } else if (t.shape[2] > 4) {
            *logits = static_cast<int32_t>(i);
        }
    }
}

}  // namespace

TensorSet* decodeRtDetr(const TensorSet* input, float conf, int32_t imageWidth, int32_t imageHeight) {
    const uint32_t id = input ? input->id : 0;
    if (!checkImageSize(kRtDetrTag, imageWidth, imageHeight)) return makeEmptyResult(id);
    int32_t logitsIndex = input ? findTensorIndexByName(*input, {"logits", "pred_logits"}) : -1;
    int32_t boxesIndex = input ? findTensorIndexByName(*input, {"boxes", "pred_boxes"}) : -1;
    if ((logitsIndex < 0 || boxesIndex < 0) && input) {
        findUnnamedTensors(*input, &logitsIndex, &boxesIndex);
    }
    if (logitsIndex < 0 || boxesIndex < 0) {
        decoderVerbose(
            "[RT-DETR] Could not identify a Format A logits/boxes pair; Format B is not supported.\n");
        return makeEmptyResult(id);
    }
    const Tensor& logits = input->tensors[logitsIndex];
    const Tensor& boxes = input->tensors[boxesIndex];
    // Tensors found by name are checked too: anything but float32 would be
    // read past its data.
    if (logits.elementType != QZ_ELEMENT_FLOAT32 || boxes.elementType != QZ_ELEMENT_FLOAT32) {
        decoderWarning("Warning! [RT-DETR] logits or boxes tensor is not FLOAT.\n");
        return makeEmptyResult(id);
    }
    if (!checkTensorShapes(kRtDetrTag, *input, {logitsIndex, boxesIndex})) return makeEmptyResult(id);
    int32_t n = 0, classes = 0;
    if (!readRowMajorShape(logits, &n, &classes)) {
        decoderWarning("Warning! [RT-DETR] Unexpected logits rank %d.\n", static_cast<int>(logits.rank));
        return makeEmptyResult(id);
    }
    if (classes < 1) {
        decoderWarning("Warning! [RT-DETR] Need at least 1 logit per query, got %d.\n", classes);
        return makeEmptyResult(id);
    }
    if (!checkTensorRows(kRtDetrTag, *input, logitsIndex, n, classes) ||
        !checkTensorRows(kRtDetrTag, *input, boxesIndex, n, 4)) {
        return makeEmptyResult(id);
    }

    const float w = static_cast<float>(imageWidth);
    const float h = static_cast<float>(imageHeight);
    const float* logit = static_cast<const float*>(logits.data);
    const float* box = static_cast<const float*>(boxes.data);
    // Scratch for one query; without queries the column count is not
    // backed by any data and is not allocated.
    std::vector<float> probabilities(n > 0 ? static_cast<size_t>(classes) : 0);
    std::vector<float> rows;
    rows.reserve(256 * 6);
    for (int32_t i = 0; i < n; ++i) {
        // Softmax over every column: none is set aside as "no object".
        const float* row = logit + static_cast<size_t>(i) * classes;
        std::copy(row, row + classes, probabilities.begin());
        softmaxInPlace(probabilities.data(), classes);
        const float best = bestScoreFromZero(probabilities.data(), classes);
        if (!passesThreshold(best, conf)) continue;
        const float* b = box + static_cast<size_t>(i) * 4;  // centre x, centre y, width, height
        const float cx = w * b[0], cy = h * b[1], halfW = w * b[2] * 0.5f, halfH = h * b[3] * 0.5f;
        const int32_t classId = classWithScore(probabilities.data(), classes, best);
        rows.insert(rows.end(),
                    {cx - halfW, cy - halfH, cx + halfW, cy + halfH, best, static_cast<float>(classId)});
    }
    const size_t count = rows.size() / 6;
    decoderVerbose("[RT-DETR] %d detections above threshold.\n", static_cast<int>(count));
    return makeDetectionResult(id, rows.data(), count);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
