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

// Channel-major [.., 4 + classes, N]; own per-class suppression; rows in
// proposal order. Empty results carry id 0. Splits the class search over up
// to four short-lived threads from 2048 proposals on.
TensorSet* decodeAnchorFreeYolo(const TensorSet* input, float conf, float iou);

// Rows of cx, cy, w, h, objectness, class scores; shared per-class
// suppression; rows by descending score.
TensorSet* decodeAnchorBasedYolo(const TensorSet* input, float conf, float iou);

// Rows of x1, y1, x2, y2, score, class kept when score >= conf; model order.
TensorSet* decodeYolo26(const TensorSet* input, float conf);

}  // namespace qz::vms_server_plugins::analytics::qzai
