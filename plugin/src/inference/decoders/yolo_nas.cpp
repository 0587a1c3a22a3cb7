#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kTag = "YOLO-NAS";

// Unnamed outputs: in index order, the first [1, ., 4] float tensor is the
// boxes and the first [1, ., >4] float tensor the scores; a role found by
// name keeps its tensor.
void findUnnamedTensors(const TensorSet& set, int32_t* boxes, int32_t* scores) {
    const uint32_t count = tensorCount(&set);
    for (uint32_t i = 0; i < count; ++i) {
        const Tensor& t = set.tensors[i];
        if (!isBatchOfOneRank3(t) || t.elementType != QZ_ELEMENT_FLOAT32) continue;
        if (t.shape[2] == 4 && *boxes < 0) {
            *boxes = static_cast<int32_t>(i);
        } else if (t.shape[2] > 4 && *scores < 0) {
            *scores = static_cast<int32_t>(i);
        }
    }
}

}  // namespace

TensorSet* decodeYoloNas(const TensorSet* input, float conf, float iou) {
    const uint32_t id = input ? input->id : 0;
    int32_t boxesIndex = input ? findTensorIndexByName(*input, {"boxes", "pred_boxes"}) : -1;
    int32_t scoresIndex = input ? findTensorIndexByName(*input, {"scores", "pred_scores"}) : -1;
    if ((boxesIndex < 0 || scoresIndex < 0) && input) {
        findUnnamedTensors(*input, &boxesIndex, &scoresIndex);
    }
    if (boxesIndex < 0 || scoresIndex < 0) {
        decoderWarning("Warning! [YOLO-NAS] Could not locate required tensors (boxes=%d, scores=%d).\n",
                       boxesIndex, scoresIndex);
        return makeEmptyResult(id);
    }
    const Tensor& boxes = input->tensors[boxesIndex];
    const Tensor& scores = input->tensors[scoresIndex];
    if (boxes.elementType != QZ_ELEMENT_FLOAT32 || scores.elementType != QZ_ELEMENT_FLOAT32) {
        decoderWarning("Warning! [YOLO-NAS] boxes or scores tensor is not FLOAT.\n");
        return makeEmptyResult(id);
    }
    if (!checkTensorShapes(kTag, *input, {boxesIndex, scoresIndex})) return makeEmptyResult(id);
    int32_t n = 0, boxColumns = 0, scoreRows = 0, classes = 0;
    if (!readRowMajorShape(boxes, &n, &boxColumns)) {
        decoderWarning("Warning! [YOLO-NAS] Unexpected boxes rank %d.\n", static_cast<int>(boxes.rank));
        return makeEmptyResult(id);
    }
    if (!readRowMajorShape(scores, &scoreRows, &classes)) {
        decoderWarning("Warning! [YOLO-NAS] Unexpected scores rank %d.\n", static_cast<int>(scores.rank));
        return makeEmptyResult(id);
    }
    // The box count N sets the rows read from both tensors (four values per
    // box row whatever its last dimension says); each must hold them.
    if (!checkTensorRows(kTag, *input, boxesIndex, n, 4) ||
        !checkTensorRows(kTag, *input, scoresIndex, n, classes)) {
        return makeEmptyResult(id);
    }

    const float* box = static_cast<const float*>(boxes.data);
    const float* score = static_cast<const float*>(scores.data);
    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t i = 0; i < n; ++i) {
        const float* row = score + static_cast<size_t>(i) * classes;
        const float best = bestScoreFromZero(row, classes);
        if (!passesThreshold(best, conf)) continue;
        const float* b = box + static_cast<size_t>(i) * 4;
        candidates.push_back({b[0], b[1], b[2], b[3], best, classWithScore(row, classes, best)});
    }
    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, false);
    decoderVerbose("[YOLO-NAS] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
