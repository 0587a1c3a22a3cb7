#include "inference/decoders/decoder_math.h"

#include <cstring>

namespace qz::vms_server_plugins::analytics::qzai {

float largestAbove(const float* values, int32_t n, float start) {
    // Four 4-lane maxima side by side; "v > m ? v : m" keeps m for NaN, so
    // the result is the plain loop's whatever order the values pass in.
    typedef float Floats __attribute__((vector_size(16)));
    constexpr int32_t kLanes = 4;
    auto larger = [](Floats m, Floats v) { return v > m ? v : m; };
    Floats m0 = Floats{} + start;
    Floats m1 = m0, m2 = m0, m3 = m0;
    int32_t i = 0;
    for (; n - i >= 4 * kLanes; i += 4 * kLanes) {
        Floats v[4];
        std::memcpy(v, values + i, sizeof v);
        m0 = larger(m0, v[0]);
        m1 = larger(m1, v[1]);
        m2 = larger(m2, v[2]);
        m3 = larger(m3, v[3]);
    }
    for (; n - i >= kLanes; i += kLanes) {
        Floats v;
        std::memcpy(&v, values + i, sizeof v);
        m0 = larger(m0, v);
    }
    m0 = larger(larger(m0, m1), larger(m2, m3));
    float best = start;
    for (int32_t lane = 0; lane < kLanes; ++lane) {
        if (m0[lane] > best) best = m0[lane];
    }
    for (; i < n; ++i) {
        if (values[i] > best) best = values[i];
    }
    return best;
}

void softmaxInPlace(float* values, int32_t count) {
    if (!values || count <= 0) return;
    const float m = largestAbove(values + 1, count - 1, values[0]);
    float sum = 0.0f;
    for (int32_t i = 0; i < count; ++i) {
        values[i] = std::exp(values[i] - m);
        sum += values[i];
    }
    // Four values per division instruction: the same IEEE quotient per value.
    typedef float Floats __attribute__((vector_size(16)));
    const Floats divisor = Floats{} + sum;
    int32_t i = 0;
    for (; count - i >= 4; i += 4) {
        Floats v;
        std::memcpy(&v, values + i, sizeof v);
        v /= divisor;
        std::memcpy(values + i, &v, sizeof v);
    }
    for (; i < count; ++i) values[i] /= sum;
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
