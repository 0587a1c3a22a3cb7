#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kYoloNasTag = "YOLO-NAS";

// Unnamed outputs: in index order, the first [1, ., 4] float tensor is the
// boxes and the first [1, ., >4] float tensor the scores; a role found by
// name keeps its tensor.
void findUnnamedBoxesAndScores(const TensorSet& set, int32_t* boxes, int32_t* scores) {
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
        findUnnamedBoxesAndScores(*input, &boxesIndex, &scoresIndex);
    }
    if (boxesIndex < 0 || scoresIndex < 0) {
        decoderWarning("Warning! [YOLO-NAS] Could not locate required tensors (boxes=%d, scores=%d).\n",
                       boxesIndex, scoresIndex);
        return makeEmptyResult(id);
    }
    BoxesAndScores t;
    if (!readBoxesAndScores(kYoloNasTag, *input, boxesIndex, scoresIndex, &t)) return makeEmptyResult(id);

    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t i = 0; i < t.rows; ++i) {
        const float* row = t.scores + static_cast<size_t>(i) * t.columns;
        const float best = bestScoreFromZero(row, t.columns);
        if (!passesThreshold(best, conf)) continue;
        const float* b = t.boxes + static_cast<size_t>(i) * 4;
        candidates.push_back({b[0], b[1], b[2], b[3], best, classWithScore(row, t.columns, best)});
    }
    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, false);
    decoderVerbose("[YOLO-NAS] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
