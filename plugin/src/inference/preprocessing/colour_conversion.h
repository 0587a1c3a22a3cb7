// YUV 4:2:0 to RGB, full-range BT.601 (Y not offset by 16):
//   R = Y + 1.402 v,  G = Y - 0.344136 u - 0.714136 v,  B = Y + 1.772 u
// with u = U - 128 and v = V - 128 as floats; each result is clamped to
// 0..255. Chroma is read per 2x2 block (row / 2, column / 2), no
// interpolation.
//
// Pure functions over caller-owned buffers; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/heap_array.h"
#include "inference/preprocessing/normalisation.h"
#include "inference/preprocessing/yuv_planes.h"

namespace qz::sdk::analytics {
class IUncompressedVideoFrame;
}

namespace qz::vms_server_plugins::analytics::qzai {

// Converts n pixels given as per-pixel Y, U and V bytes into clamped float R,
// G and B (0..255). Outputs must not overlap the inputs.
void convertYuvPixelsToRgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                           float* r, float* g, float* b);

// The same conversion, written normalised (value * scale + offset per
// channel) to three planes (dst[0..2]) when `planar` is set, else
// interleaved into dst[0]; bit-identical to convertYuvPixelsToRgb followed
// by storeNormalisedPlanar / storeNormalisedInterleaved.
void convertYuvPixelsNormalised(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                                const Normalisation& norm, bool planar, float* const dst[3]);

// Clamps to 0..255 (NaN gives 0) and truncates n pixels into interleaved
// R, G, B bytes.
void storeRgbBytes(const float* r, const float* g, const float* b, size_t n, uint8_t* out);

// Whole-frame conversion into width x height x 3 floats, planar (R plane,
// G plane, B plane) when layout is 0, else interleaved R, G, B per pixel.
// Returns false and writes nothing when the planes are not usable.
bool convertYuvToRgb(const YuvPlanes& planes, uint32_t layout, float* out);

// convertYuvToRgb into a new block; an empty block when the frame is not
// usable or the block cannot be allocated.
HeapArray<float> convertFrameToRgb(const YuvPlanes& planes, uint32_t layout);
HeapArray<float> convertFrameToRgb(const qz::sdk::analytics::IUncompressedVideoFrame* frame,
                                   uint32_t layout);

}  // namespace qz::vms_server_plugins::analytics::qzai
