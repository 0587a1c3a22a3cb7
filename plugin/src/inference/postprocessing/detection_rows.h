// Detection rows: the decoded detections of one inference output, read from
// the first float tensor whose name holds "format:xyxysc" (rows of x1, y1,
// x2, y2, score, class in the model's input space) and mapped to the frame.
//
// Rows that cannot be trusted are skipped: a class value that is not finite
// or is negative, a score that is not a number at or above 1e-6, corners that
// are not finite, and boxes that do not map to finite frame coordinates (all
// boxes when the stage's model has an input width or height of 0). A
// class index at or past the number of class names (also one too large for an
// int) is logged as an invalid order and skipped.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "records/model_details.h"
#include "inference/inference_types.h"
#include "inference/postprocessing/track_matching.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Index of the detection tensor in the set, or -1 (also for a null set).
int findDetectionTensor(const TensorSet* set);

// The tensor's class names: the preparation's stored list when the tensor
// carries the stored detection-output name, else the names parsed from its
// name.
std::vector<std::string> detectionClassNames(const Tensor& tensor, const ModelPreparation* preparation);

struct FrameDetections_t {
    std::map<std::string, std::vector<FrameDetection_t>> byClass;  // in row order per class
    size_t malformedRows = 0;  // values that are not finite
    size_t unmappedBoxes = 0;  // frame boxes that are not finite
};

// Reads every whole row of the tensor (a trailing partial row is ignored).
FrameDetections_t readDetections(const Tensor& tensor, const std::vector<std::string>& classNames,
                                 const std::shared_ptr<InferenceInput_t>& request);

}  // namespace qz::vms_server_plugins::analytics::qzai
