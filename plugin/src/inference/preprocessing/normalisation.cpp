#include "inference/preprocessing/normalisation.h"

#include <cstdint>

#include "inference/preprocessing/rgb_writer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qz::vms_server_plugins::analytics::qzai {

Normalisation buildNormalisation(std::span<const float, 3> means, std::span<const float, 3> vars) {
    Normalisation norm;
    for (int c = 0; c < 3; ++c) {
        norm.scale[c] = 1.0f / vars[c];
        norm.offset[c] = -means[c] / vars[c];
    }
    return norm;
}

namespace {

// Normalises n pixels given as three float rows into `out`.
template <typename Writer>
void storeNormalised(const float* r, const float* g, const float* b, size_t n, Writer&& out) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) out.put4(i, _mm_loadu_ps(r + i), _mm_loadu_ps(g + i), _mm_loadu_ps(b + i));
#endif
    for (; i < n; ++i) out.put(i, r[i], g[i], b[i]);
}

#if defined(QZAI_PREP_AVX2)
// Whole 64-byte lines of value with aligned 32-byte stores, from the first
// line boundary at or after out; returns how many floats it wrote from out.
QZAI_TARGET_AVX2 size_t fillLinesAvx2(float* out, size_t n, float value) {
    size_t i = 0;
    for (; i < n && (reinterpret_cast<uintptr_t>(out + i) & 63) != 0; ++i) out[i] = value;
    const __m256 v = _mm256_set1_ps(value);
    for (; i + 16 <= n; i += 16) {
        _mm256_store_ps(out + i, v);
        _mm256_store_ps(out + i + 8, v);
    }
    return i;
}
#endif

// Long runs (the padding bands, hundreds of kilobytes each) are written
// a whole aligned cache line at a time with plain stores. Streaming stores
// would send a still-cached output back to memory, and stores straddling
// two lines touch each line twice; on a warm output both cost two to three
// times as much as whole-line stores, and on a cold one neither saves
// anything.
void fill(float* out, size_t n, float value) {
    size_t i = 0;
#if defined(QZAI_PREP_AVX2)
    if (avx2Enabled()) i = fillLinesAvx2(out, n, value);
#endif
#if defined(__SSE2__)
    const __m128 v = _mm_set1_ps(value);
    for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, v);
#endif
    for (; i < n; ++i) out[i] = value;
}

}  // namespace

void storeNormalisedPlanar(const float* r, const float* g, const float* b, size_t n,
                           const Normalisation& norm, float* const dst[3]) {
    storeNormalised(r, g, b, n, RgbWriter<true, true>(dst, norm));
}

void storeNormalisedInterleaved(const float* r, const float* g, const float* b, size_t n,
                                const Normalisation& norm, float* dst) {
    float* const line[3] = {dst, nullptr, nullptr};
    storeNormalised(r, g, b, n, RgbWriter<true, false>(line, norm));
}

void fillPaddingPlanar(size_t n, const Normalisation& norm, float* const dst[3]) {
    for (int c = 0; c < 3; ++c) fill(dst[c], n, norm.offset[c]);
}

void fillPaddingInterleaved(size_t n, const Normalisation& norm, float* dst) {
    size_t i = 0;
#if defined(__SSE2__)
    // Four pixels are twelve floats: three vectors of the repeating pattern.
    const float* o = norm.offset;
    const __m128 a = _mm_setr_ps(o[0], o[1], o[2], o[0]);
    const __m128 b = _mm_setr_ps(o[1], o[2], o[0], o[1]);
    const __m128 c = _mm_setr_ps(o[2], o[0], o[1], o[2]);
    for (; i + 4 <= n; i += 4) {
        _mm_storeu_ps(dst + 3 * i, a);
        _mm_storeu_ps(dst + 3 * i + 4, b);
        _mm_storeu_ps(dst + 3 * i + 8, c);
    }
#endif
    for (; i < n; ++i) {
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
