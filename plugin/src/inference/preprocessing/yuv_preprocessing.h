// The direct road: a YUV 4:2:0 frame cropped, resized (nearest neighbour),
// converted to RGB and normalised in one pass over the target pixels,
// reading only the source pixels it samples.
//
// Results: std::nullopt when the frame is not usable (size 0 or less,
// missing planes, line sizes shorter than the plane width), when a target
// side exceeds kMaxTargetSide, or when the output cannot be allocated; an
// empty block when tw or th is 0. The functions log nothing.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "common/heap_array.h"
#include "inference/preprocessing/yuv_planes.h"

namespace qz::sdk::analytics {
class IUncompressedVideoFrame;
}

namespace qz::vms_server_plugins::analytics::qzai {

// input.width x input.height x 3 normalised floats, planar when input.order
// is 0 else interleaved; input.width x input.height grey floats when
// input.channels is 1. Padding is -means/vars.
std::optional<HeapArray<float>> preprocessYuvToFloat(const YuvPlanes& frame,
                                                     const ModelInputDetails_t& input,
                                                     std::span<const float, 4> cropBox,
                                                     ResizingMethod method);
std::optional<HeapArray<float>> preprocessYuvToFloat(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, const ModelInputDetails_t& input,
    std::span<const float, 4> cropBox, ResizingMethod method);

// tw x th x 3 bytes, always interleaved R, G, B, truncated; padding is 0.
std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(const YuvPlanes& frame, uint64_t tw,
                                                       uint64_t th,
                                                       std::span<const float, 4> cropBox,
                                                       ResizingMethod method);
std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint64_t tw, uint64_t th,
    std::span<const float, 4> cropBox, ResizingMethod method);

}  // namespace qz::vms_server_plugins::analytics::qzai
