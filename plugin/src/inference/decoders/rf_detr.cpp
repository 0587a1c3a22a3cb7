#include <cstring>
#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kRfDetrTag = "RF-DETR";

// Label i as a float: float32 as written, int32 and int64 by value.
float labelAt(const Tensor& labels, int32_t i) {
    const char* base = static_cast<const char*>(labels.data);
    if (labels.elementType == QZ_ELEMENT_INT64) {
        int64_t v;
        std::memcpy(&v, base + static_cast<size_t>(i) * sizeof v, sizeof v);
        return static_cast<float>(v);
    }
    if (labels.elementType == QZ_ELEMENT_INT32) {
        int32_t v;
        std::memcpy(&v, base + static_cast<size_t>(i) * sizeof v, sizeof v);
        return static_cast<float>(v);
    }
    float v;
    std::memcpy(&v, base + static_cast<size_t>(i) * sizeof v, sizeof v);
    return v;
}

}  // namespace

TensorSet* decodeRfDetr(const TensorSet* input, float conf, int32_t imageWidth, int32_t imageHeight) {
    const uint32_t id = input ? input->id : 0;
    if (!checkImageSize(kRfDetrTag, imageWidth, imageHeight)) return makeEmptyResult(id);
    int32_t scoresIndex = -1, boxesIndex = -1, labelsIndex = -1;
    if (input) {
        scoresIndex = findTensorIndexByName(*input, {"scores", "score"});
        boxesIndex = findTensorIndexByName(*input, {"boxes", "box", "pred_boxes"});
        labelsIndex = findTensorIndexByName(*input, {"labels", "label", "pred_labels"});
    }
    if (scoresIndex < 0 || boxesIndex < 0 || labelsIndex < 0) {
        decoderWarning(
            "Warning! [RF-DETR] Could not locate all required tensors (scores=%d, boxes=%d, "
            "labels=%d).\n",
            scoresIndex, boxesIndex, labelsIndex);
        return makeEmptyResult(id);
    }
    const Tensor& scores = input->tensors[scoresIndex];
    const Tensor& boxes = input->tensors[boxesIndex];
    const Tensor& labels = input->tensors[labelsIndex];
    if (scores.elementType != QZ_ELEMENT_FLOAT32 || boxes.elementType != QZ_ELEMENT_FLOAT32) {
        decoderWarning("Warning! [RF-DETR] scores or boxes tensor is not FLOAT.\n");
        return makeEmptyResult(id);
    }
    if (labels.elementType != QZ_ELEMENT_FLOAT32 && labels.elementType != QZ_ELEMENT_INT32 &&
        labels.elementType != QZ_ELEMENT_INT64) {
        decoderWarning("Warning! [RF-DETR] Unsupported labels dtype %d.\n",
                       static_cast<int>(labels.elementType));
        return makeEmptyResult(id);
    }
    if (!checkTensorShapes(kRfDetrTag, *input, {scoresIndex, boxesIndex, labelsIndex})) {
        return makeEmptyResult(id);
    }
    int32_t n = 0;
    if (!readVectorShape(scores, &n)) {
        decoderWarning("Warning! [RF-DETR] Unexpected scores rank %d.\n", static_cast<int>(scores.rank));
        return makeEmptyResult(id);
    }
    if (!checkTensorRows(kRfDetrTag, *input, scoresIndex, n, 1) ||
        !checkTensorRows(kRfDetrTag, *input, boxesIndex, n, 4) ||
        !checkTensorRows(kRfDetrTag, *input, labelsIndex, n, 1)) {
        return makeEmptyResult(id);
    }

    const float w = static_cast<float>(imageWidth);
    const float h = static_cast<float>(imageHeight);
    const float* score = static_cast<const float*>(scores.data);
    const float* box = static_cast<const float*>(boxes.data);
    std::vector<float> rows;
    rows.reserve(256 * 6);
    for (int32_t i = 0; i < n; ++i) {
        const float s = score[i];
        if (!passesThreshold(s, conf)) continue;
        const float* b = box + static_cast<size_t>(i) * 4;  // x1, y1, x2, y2
        rows.insert(rows.end(), {b[0] * w, b[1] * h, b[2] * w, b[3] * h, s, labelAt(labels, i)});
    }
    const size_t count = rows.size() / 6;
    decoderVerbose("[RF-DETR] %d detections above threshold.\n", static_cast<int>(count));
    return makeDetectionResult(id, rows.data(), count);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
