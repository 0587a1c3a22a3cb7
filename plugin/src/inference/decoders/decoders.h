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
// proposal order. Empty results carry id 0. Large outputs share the class
// search with up to three process-wide helper threads (started on first
// need, joined when the library is unloaded); the calling thread always
// searches too and never waits for a helper that has not woken.
TensorSet* decodeAnchorFreeYolo(const TensorSet* input, float conf, float iou);

// Rows of cx, cy, w, h, objectness, class scores; shared per-class
// suppression; rows by descending score.
TensorSet* decodeAnchorBasedYolo(const TensorSet* input, float conf, float iou);

// Rows of x1, y1, x2, y2, score, class kept when score >= conf; model order.
TensorSet* decodeYolo26(const TensorSet* input, float conf);

// The decoders below take their tensors by name (with fallbacks for unnamed
// outputs where a family has them); those given normalised boxes scale them
// by the model input's width and height. Every tensor read is validated
// first, and a score that is not finite never becomes a detection.

// Corner boxes in input pixels and per-class scores; shared per-class
// suppression; rows by descending score.
TensorSet* decodeYoloNas(const TensorSet* input, float conf, float iou);

// Normalised (top, left, bottom, right) boxes and per-class scores whose
// column 0 is the background; shared per-class suppression.
TensorSet* decodeSsd(const TensorSet* input, float conf, float iou, int32_t imageWidth,
                     int32_t imageHeight);

// Final detections with normalised (top, left, bottom, right) boxes, one
// score and one 1-based class each, and an optional count; detection order.
TensorSet* decodeEfficientDet(const TensorSet* input, float conf, int32_t imageWidth,
                              int32_t imageHeight);

// Per-query logits (softmax over all columns) and normalised centre-size
// boxes; query order.
TensorSet* decodeRtDetr(const TensorSet* input, float conf, int32_t imageWidth, int32_t imageHeight);

// Per-query score, label (float32, int32 or int64) and normalised corner
// boxes; query order.
TensorSet* decodeRfDetr(const TensorSet* input, float conf, int32_t imageWidth, int32_t imageHeight);

// Class scores (logits or probabilities) and 8-bin side distributions, as
// one concatenated tensor of a known input size or as per-level tensor
// pairs; shared per-class suppression.
TensorSet* decodeNanoDet(const TensorSet* input, float conf, float iou);

// Three channel-first levels of 64 regression channels (4 sides x 16 bins)
// and raw class scores; suppression across classes.
TensorSet* decodeYolov8DeepX(const TensorSet* input, float conf, float iou);

}  // namespace qz::vms_server_plugins::analytics::qzai
