// The per-pixel YUV to RGB arithmetic shared by the conversion loops: the
// scalar form and, with AVX2, eight pixels at a time from byte vectors.
// Both perform the float operations of the matrix in colour_conversion.h
// in the same order (no fused multiply-add), so every path that uses them
// gives bit-identical results.
//
// Internal to the preprocessing sources; pure inline functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inference/preprocessing/rgb_writer.h"

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr float kYuvRv = 1.402f;
inline constexpr float kYuvGu = 0.344136f;
inline constexpr float kYuvGv = 0.714136f;
inline constexpr float kYuvBu = 1.772f;

// Clamps to 0..255; NaN gives 0. (For every other value this equals
// clamping to at most 255 first and then to at least 0.)
inline float clampChannel(float x) {
    x = x >= 0.0f ? x : 0.0f;
    return x <= 255.0f ? x : 255.0f;
}

template <typename Writer>
inline void convertPixel(float y, float u, float v, size_t i, Writer& out) {
    u -= 128.0f;
    v -= 128.0f;
    out.put(i, clampChannel(y + kYuvRv * v), clampChannel(y - kYuvGu * u - kYuvGv * v),
            clampChannel(y + kYuvBu * u));
}

#if defined(QZAI_PREP_AVX2)
QZAI_TARGET_AVX2 inline __m256 clampChannel(__m256 x) {
    x = _mm256_max_ps(x, _mm256_setzero_ps());  // NaN gives the second operand, 0
    return _mm256_min_ps(x, _mm256_set1_ps(255.0f));
}

// The low eight bytes as eight floats.
QZAI_TARGET_AVX2 inline __m256 widen8(__m128i bytes) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}

// Chroma bytes with the top bit flipped: read as signed, each is the
// byte minus 128.
inline __m128i centreChroma(__m128i bytes) { return _mm_xor_si128(bytes, _mm_set1_epi8(-128)); }

// The low eight signed bytes as eight floats.
QZAI_TARGET_AVX2 inline __m256 widenSigned8(__m128i bytes) {
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
}

// Pixels i .. i + 7 from the low eight bytes of y and of the centred u and
// v (centreChroma). The integer difference converts exactly, so u and v
// equal U - 128.0f and V - 128.0f.
template <typename Writer>
QZAI_TARGET_AVX2 inline void convert8(__m128i y, __m128i u, __m128i v, size_t i, Writer& out) {
    const __m256 yf = widen8(y);
    const __m256 uf = widenSigned8(u);
    const __m256 vf = widenSigned8(v);
    const __m256 r = clampChannel(_mm256_add_ps(yf, _mm256_mul_ps(_mm256_set1_ps(kYuvRv), vf)));
    const __m256 gu = _mm256_sub_ps(yf, _mm256_mul_ps(_mm256_set1_ps(kYuvGu), uf));
    const __m256 g = clampChannel(_mm256_sub_ps(gu, _mm256_mul_ps(_mm256_set1_ps(kYuvGv), vf)));
    const __m256 b = clampChannel(_mm256_add_ps(yf, _mm256_mul_ps(_mm256_set1_ps(kYuvBu), uf)));
    out.put8(i, r, g, b);
}
#endif

}  // namespace qz::vms_server_plugins::analytics::qzai
