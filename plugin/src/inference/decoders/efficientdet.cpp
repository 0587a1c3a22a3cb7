#include <algorithm>
#include <cmath>
#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kEfficientDetTag = "EfficientDet";
constexpr float kTwoTo31 = 2147483648.0f;

// The rows to read given the model's detection count: a count below n
// lowers it (a negative count to 0); a count that is not finite, or not
// below n, changes nothing.
int32_t rowsAfterCount(int32_t n, float count) {
    if (!std::isfinite(count) || !(count < static_cast<float>(n))) return n;
    if (count < 0.0f) return 0;
    return static_cast<int32_t>(count);  // below n, so it fits
}

}  // namespace

TensorSet* decodeEfficientDet(const TensorSet* input, float conf, int32_t imageWidth,
                              int32_t imageHeight) {
    const uint32_t id = input ? input->id : 0;
    if (!checkImageSize(kEfficientDetTag, imageWidth, imageHeight)) return makeEmptyResult(id);
    int32_t boxesIndex = -1, scoresIndex = -1, classesIndex = -1, countIndex = -1;
    if (input) {
        boxesIndex = findTensorIndexByName(*input, {"detection_boxes", "boxes"});
        scoresIndex = findTensorIndexByName(*input, {"detection_scores", "scores"});
        classesIndex = findTensorIndexByName(*input, {"detection_classes", "classes"});
        countIndex = findTensorIndexByName(*input, {"num_detections", "num_det"});
    }
    if (boxesIndex < 0 || scoresIndex < 0 || classesIndex < 0) {
        decoderWarning(
            "Warning! [EfficientDet] Could not locate required tensors (boxes=%d, scores=%d, "
            "classes=%d).\n",
            boxesIndex, scoresIndex, classesIndex);
        return makeEmptyResult(id);
    }
    const Tensor& boxes = input->tensors[boxesIndex];
    const Tensor& scores = input->tensors[scoresIndex];
    const Tensor& classes = input->tensors[classesIndex];
    if (boxes.elementType != QZ_ELEMENT_FLOAT32 || scores.elementType != QZ_ELEMENT_FLOAT32 ||
        classes.elementType != QZ_ELEMENT_FLOAT32) {
        decoderWarning("Warning! [EfficientDet] One or more tensors are not FLOAT.\n");
        return makeEmptyResult(id);
    }
    if (!checkTensorShapes(kEfficientDetTag, *input, {boxesIndex, scoresIndex, classesIndex})) {
        return makeEmptyResult(id);
    }
    int32_t n = 0;
    if (!readVectorShape(scores, &n)) {
        decoderWarning("Warning! [EfficientDet] Unexpected scores rank %d.\n",
                       static_cast<int>(scores.rank));
        return makeEmptyResult(id);
    }
    // A count of another element type is not read at all.
    if (countIndex >= 0 && input->tensors[countIndex].elementType == QZ_ELEMENT_FLOAT32) {
        if (!checkTensorShape(kEfficientDetTag, *input, countIndex) ||
            !checkTensorData(kEfficientDetTag, *input, countIndex, 1)) {
            return makeEmptyResult(id);
        }
        n = rowsAfterCount(n, *static_cast<const float*>(input->tensors[countIndex].data));
    }
    if (!checkTensorRows(kEfficientDetTag, *input, scoresIndex, n, 1) ||
        !checkTensorRows(kEfficientDetTag, *input, boxesIndex, n, 4) ||
        !checkTensorRows(kEfficientDetTag, *input, classesIndex, n, 1)) {
        return makeEmptyResult(id);
    }

    const float w = static_cast<float>(imageWidth);
    const float h = static_cast<float>(imageHeight);
    const float* score = static_cast<const float*>(scores.data);
    const float* box = static_cast<const float*>(boxes.data);
    const float* classValue = static_cast<const float*>(classes.data);
    std::vector<float> rows;
    rows.reserve(256 * 6);
    for (int32_t i = 0; i < n; ++i) {
        const float s = score[i];
        if (!passesThreshold(s, conf)) continue;
        // Classes are 1-based; a value that is no class index skips the row.
        const float value = classValue[i];
        if (!(value >= 0.0f && value < kTwoTo31)) continue;
        const int32_t classId = std::max(0, static_cast<int32_t>(value) - 1);
        const float* b = box + static_cast<size_t>(i) * 4;  // top, left, bottom, right
        rows.insert(rows.end(),
                    {b[1] * w, b[0] * h, b[3] * w, b[2] * h, s, static_cast<float>(classId)});
    }
    const size_t count = rows.size() / 6;
    decoderVerbose("[EfficientDet] %d detections above threshold.\n", static_cast<int>(count));
    return makeDetectionResult(id, rows.data(), count);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
