// Normalisation of RGB values (0..255) into a model's float input:
// value = v * scale[c] + offset[c] with scale = 1 / vars[c] and offset =
// -means[c] / vars[c], that is (v - means[c]) / vars[c]; padding gets the
// offset (the normalised value of 0). Also the grey reduction of a
// normalised buffer.
//
// Pure functions over caller-owned buffers; thread-safe.
#pragma once

#include <cstddef>
#include <span>

#include "common/heap_array.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct Normalisation {
    float scale[3] = {1.0f, 1.0f, 1.0f};
    float offset[3] = {0.0f, 0.0f, 0.0f};
};

Normalisation buildNormalisation(std::span<const float, 3> means, std::span<const float, 3> vars);

// Writes n normalised pixels: to three planes (dst[0..2], each advancing by
// one per pixel) or interleaved (dst[0], three floats per pixel).
void storeNormalisedPlanar(const float* r, const float* g, const float* b, size_t n,
                           const Normalisation& norm, float* const dst[3]);
void storeNormalisedInterleaved(const float* r, const float* g, const float* b, size_t n,
                                const Normalisation& norm, float* dst);

// Writes n padding pixels in either layout.
void fillPaddingPlanar(size_t n, const Normalisation& norm, float* const dst[3]);
void fillPaddingInterleaved(size_t n, const Normalisation& norm, float* dst);

// Replaces tw x th x 3 normalised floats (planar, or interleaved when the
// flag is set) by tw x th grey values 0.299 R + 0.587 G + 0.114 B, in place;
// the block shrinks to the grey size.
void convertRgbToGrey(HeapArray<float>& buffer, size_t tw, size_t th, bool interleaved);

}  // namespace qz::vms_server_plugins::analytics::qzai
