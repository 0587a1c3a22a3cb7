// The frame road: a VideoFrame's buffer, read as float R, G, B values
// (planar when its format is 0, else interleaved) whatever its origin, is
// cropped, resized (nearest neighbour, the same sampling as the direct road)
// and normalised (float road) or clamped and truncated (8-bit road).
//
// Results: std::nullopt when the frame's width or height is 0 or less or
// beyond the int32 range, when its buffer holds fewer than width x height x
// 3 floats, when a target side exceeds kMaxTargetSide, or when the output
// cannot be allocated; an empty block when tw or th is 0. Nothing is logged.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "common/heap_array.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct VideoFrame;

// Same layout rules as preprocessYuvToFloat (yuv_preprocessing.h).
std::optional<HeapArray<float>> preprocessRgbToFloat(const VideoFrame& frame,
                                                     const ModelInputDetails_t& input,
                                                     std::span<const float, 4> cropBox,
                                                     ResizingMethod method);

// tw x th x 3 interleaved bytes; padding is 0.
std::optional<HeapArray<uint8_t>> preprocessRgbToUint8(const VideoFrame& frame, uint64_t tw,
                                                       uint64_t th,
                                                       std::span<const float, 4> cropBox,
                                                       ResizingMethod method);

}  // namespace qz::vms_server_plugins::analytics::qzai
