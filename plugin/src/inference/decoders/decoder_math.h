// Scalar helpers of the decoders. Single precision throughout.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

// The largest of start and values[0..n); NaN values never win, so the
// result equals the loop "m = start; m = v when v > m" in any order.
float largestAbove(const float* values, int32_t n, float start);

// Replaces values[0..count) by their softmax (max-shifted). count <= 0 or a
// null pointer does nothing.
void softmaxInPlace(float* values, int32_t count);

// The logistic function 1 / (1 + exp(-x)).
inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// The expected bin index of a distribution over `count` bins given as
// logits `step` floats apart: softmax with the largest logit subtracted,
// then the sum of j x p_j. count must be at least 1.
float distributionMean(const float* logits, int32_t count, size_t step);

}  // namespace qz::vms_server_plugins::analytics::qzai
