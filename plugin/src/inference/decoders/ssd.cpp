#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
constexpr const char* kSsdTag = "SSD";
}  // namespace

TensorSet* decodeSsd(const TensorSet* input, float conf, float iou, int32_t imageWidth,
                     int32_t imageHeight) {
    const uint32_t id = input ? input->id : 0;
    if (!checkImageSize(kSsdTag, imageWidth, imageHeight)) return makeEmptyResult(id);
    const int32_t boxesIndex = input ? findTensorIndexByName(*input, {"boxes", "box_encoding"}) : -1;
    const int32_t scoresIndex =
        input ? findTensorIndexByName(*input, {"scores", "class_predictions"}) : -1;
    if (boxesIndex < 0 || scoresIndex < 0) {
        decoderWarning("Warning! [SSD] Could not locate required tensors (boxes=%d, scores=%d).\n",
                       boxesIndex, scoresIndex);
        return makeEmptyResult(id);
    }
    BoxesAndScores t;
    if (!readBoxesAndScores(kSsdTag, *input, boxesIndex, scoresIndex, &t)) return makeEmptyResult(id);
    if (t.columns < 2) {
        decoderWarning("Warning! [SSD] Need at least 2 score columns (background + 1 class), got %d.\n",
                       t.columns);
        return makeEmptyResult(id);
    }

    const float w = static_cast<float>(imageWidth);
    const float h = static_cast<float>(imageHeight);
    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t i = 0; i < t.rows; ++i) {
        // Column 0 is the background; column c is class c - 1.
        const float* row = t.scores + static_cast<size_t>(i) * t.columns + 1;
        const float best = bestScoreFromZero(row, t.columns - 1);
        if (!passesThreshold(best, conf)) continue;
        const float* b = t.boxes + static_cast<size_t>(i) * 4;  // top, left, bottom, right
        candidates.push_back(
            {b[1] * w, b[0] * h, b[3] * w, b[2] * h, best, classWithScore(row, t.columns - 1, best)});
    }
    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, false);
    decoderVerbose("[SSD] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
