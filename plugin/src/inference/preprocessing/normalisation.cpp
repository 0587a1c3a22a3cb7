#include "inference/preprocessing/normalisation.h"

namespace qz::vms_server_plugins::analytics::qzai {

Normalisation buildNormalisation(std::span<const float, 3> means, std::span<const float, 3> vars) {
    Normalisation norm;
    for (int c = 0; c < 3; ++c) {
        norm.scale[c] = 1.0f / vars[c];
        norm.offset[c] = -means[c] / vars[c];
    }
    return norm;
}

void storeNormalisedPlanar(const float* r, const float* g, const float* b, size_t n,
                           const Normalisation& norm, float* const dst[3]) {
    const float* src[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
        const float* __restrict in = src[c];
        float* __restrict out = dst[c];
        const float scale = norm.scale[c];
        const float offset = norm.offset[c];
        for (size_t i = 0; i < n; ++i) out[i] = in[i] * scale + offset;
    }
}

void storeNormalisedInterleaved(const float* r, const float* g, const float* b, size_t n,
                                const Normalisation& norm, float* dst) {
    for (size_t i = 0; i < n; ++i) {
        dst[3 * i] = r[i] * norm.scale[0] + norm.offset[0];
        dst[3 * i + 1] = g[i] * norm.scale[1] + norm.offset[1];
        dst[3 * i + 2] = b[i] * norm.scale[2] + norm.offset[2];
    }
}

void fillPaddingPlanar(size_t n, const Normalisation& norm, float* const dst[3]) {
    for (int c = 0; c < 3; ++c) {
        float* out = dst[c];
        for (size_t i = 0; i < n; ++i) out[i] = norm.offset[c];
    }
}

void fillPaddingInterleaved(size_t n, const Normalisation& norm, float* dst) {
    for (size_t i = 0; i < n; ++i) {
        dst[3 * i] = norm.offset[0];
        dst[3 * i + 1] = norm.offset[1];
        dst[3 * i + 2] = norm.offset[2];
    }
}

void convertRgbToGrey(HeapArray<float>& buffer, size_t tw, size_t th, bool interleaved) {
    const size_t n = tw * th;
    if (buffer.size() < 3 * n) return;
    float* p = buffer.data();
    // Pixel i reads at indices >= i and writes index i, so a forward pass
    // never overwrites a value it still needs.
    if (interleaved) {
        for (size_t i = 0; i < n; ++i)
            p[i] = 0.299f * p[3 * i] + 0.587f * p[3 * i + 1] + 0.114f * p[3 * i + 2];
    } else {
        for (size_t i = 0; i < n; ++i)
            p[i] = 0.299f * p[i] + 0.587f * p[n + i] + 0.114f * p[2 * n + i];
    }
    buffer.truncate(n);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
