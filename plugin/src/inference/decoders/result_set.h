// Builds the decoders' result: a new TensorSet with one float32 tensor
// "output0 format:xyxysc" of shape [N, 6] (x1, y1, x2, y2, score, class per
// row), or, with no rows, an empty set (count 0, no tensor array).
//
// Every block is a separate malloc/calloc allocation (the name by strdup), so
// the caller releases the set with freeTensorSet() and free(). Returns null
// only when the set record itself cannot be allocated; when the tensor cannot
// be allocated the set comes back empty after one warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "inference/decoders/detection.h"
#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr const char* kDetectionTensorName = "output0 format:xyxysc";

TensorSet* makeEmptyResult(uint32_t id);

// `rows` holds rowCount rows of six floats, copied unchanged.
TensorSet* makeDetectionResult(uint32_t id, const float* rows, size_t rowCount);

// Writes each detection's class index as a float.
TensorSet* makeDetectionResult(uint32_t id, const std::vector<Detection>& detections);

}  // namespace qz::vms_server_plugins::analytics::qzai
