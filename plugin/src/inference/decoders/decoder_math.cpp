#include "inference/decoders/decoder_math.h"

namespace qz::vms_server_plugins::analytics::qzai {

void softmaxInPlace(float* values, int32_t count) {
    if (!values || count <= 0) return;
    float m = values[0];
    for (int32_t i = 1; i < count; ++i) {
        if (values[i] > m) m = values[i];
    }
    float sum = 0.0f;
    for (int32_t i = 0; i < count; ++i) {
        values[i] = std::exp(values[i] - m);
        sum += values[i];
    }
    for (int32_t i = 0; i < count; ++i) values[i] /= sum;
}

float distributionMean(const float* logits, int32_t count, size_t step) {
    float m = logits[0];
    for (int32_t j = 1; j < count; ++j) {
        if (logits[j * step] > m) m = logits[j * step];
    }
    float sum = 0.0f;
    float weighted = 0.0f;
    for (int32_t j = 0; j < count; ++j) {
        const float e = std::exp(logits[j * step] - m);
        sum += e;
        weighted += static_cast<float>(j) * e;
    }
    return weighted / sum;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
