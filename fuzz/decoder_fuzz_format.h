// The byte layout the decoder fuzz target reads a tensor set from, shared
// with the seed writer (decoder_seeds.cpp):
//
//   flags (bit 0: no tensor array, bit 1: no set), conf, iou, width (u16),
//   height (u16), count (% 8), id, then per tensor: name index, type index,
//   rank (% 6), each dimension, data mode (255: no data) and, unless 255,
//   a u16 byte length and that many data bytes.
//
// A threshold byte below 240 is byte / 239, otherwise a raw float follows.
// A dimension byte below 200 is byte % 100; 200 to 239 is followed by a u16
// value, 240 and above by a raw int32. Integers are little-endian.
#pragma once

#include <cstdint>

namespace decoder_fuzz {

inline const char* const kNames[] = {"output0", "boxes",  "scores", "logits", "pred_boxes",
                                     "labels",  "cls",    "reg",    "dets",   "num_detections",
                                     "bbox",    "output", "classes", nullptr};
inline const uint32_t kTypes[] = {1, 1, 1, 1, 2, 3, 6, 7, 10, 11, 0, 99};

}  // namespace decoder_fuzz
