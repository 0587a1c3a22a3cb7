// The built-in decoders and their dispatch. Each decoder reads the raw
// output tensors of one model family and returns a new result set (see
// result_set.h) that the caller owns; the input set is only read.
//
// Malformed input never throws: it gives one "Warning! [<tag>] ..." line
// and the empty result. Decoders keep no state and may run concurrently.
#pragma once

#include <cstdint>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Picks the decoder of `architecture` (a ModelArchitecture value) and returns
// its result; width and height are the model's input size. Any other
// architecture gives the empty result with the input's id, silently.
TensorSet* runDetectionPostprocessor(int32_t architecture, const TensorSet* input, float conf,
                                     float iou, int32_t imageWidth, int32_t imageHeight);

}  // namespace qz::vms_server_plugins::analytics::qzai
