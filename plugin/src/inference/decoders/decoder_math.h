// Scalar helpers of the decoders. Single precision throughout.
#pragma once

#include <cmath>
#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

// Replaces values[0..count) by their softmax (max-shifted). count <= 0 or a
// null pointer does nothing.
void softmaxInPlace(float* values, int32_t count);

// The logistic function 1 / (1 + exp(-x)).
inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

}  // namespace qz::vms_server_plugins::analytics::qzai
