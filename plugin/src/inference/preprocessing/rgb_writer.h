// RgbWriter: where the conversion and normalisation loops put finished
// pixels - three planes or one interleaved line, as read (0..255) or
// normalised (v * scale + offset). Pixels arrive one at a time or as one
// vector per channel: four with SSE2 (the x86-64 baseline), eight with AVX2
// (used only when the processor has it, see vector_level.h). Every form performs
// the same float operations in the same order (no fused multiply-add), so
// the result of a pixel does not depend on which form wrote it.
//
// Internal to the preprocessing sources. A writer is a small value over
// caller-owned buffers; not shared between threads.
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
// AVX2 code is compiled per function and run only after avx2Enabled()
// (vector_level.h).
#define QZAI_PREP_AVX2 1
#define QZAI_TARGET_AVX2 __attribute__((target("avx2")))
#endif

#include "inference/preprocessing/normalisation.h"
#include "inference/preprocessing/vector_level.h"

namespace qz::vms_server_plugins::analytics::qzai {

template <bool kNormalise, bool kPlanar>
class RgbWriter {
public:
    // Planar: dst[0..2] are the R, G and B planes. Interleaved: dst[0] is
    // the line, three floats per pixel. `norm` is used only when normalising.
    explicit RgbWriter(float* const dst[3], const Normalisation& norm = {}) : norm_(norm) {
        for (int c = 0; c < 3; ++c) dst_[c] = dst[c];
#if defined(__SSE2__)
        for (int c = 0; c < 3; ++c) {
            scale_[c] = _mm_set1_ps(norm.scale[c]);
            offset_[c] = _mm_set1_ps(norm.offset[c]);
        }
#endif
    }

    void put(size_t i, float r, float g, float b) {
        if constexpr (kNormalise) {
            r = r * norm_.scale[0] + norm_.offset[0];
            g = g * norm_.scale[1] + norm_.offset[1];
            b = b * norm_.scale[2] + norm_.offset[2];
        }
        if constexpr (kPlanar) {
            dst_[0][i] = r;
            dst_[1][i] = g;
            dst_[2][i] = b;
        } else {
            float* px = dst_[0] + 3 * i;
            px[0] = r;
            px[1] = g;
            px[2] = b;
        }
    }

#if defined(__SSE2__)
    // Pixels i .. i + 3.
    void put4(size_t i, __m128 r, __m128 g, __m128 b) {
        if constexpr (kNormalise) {
            r = _mm_add_ps(_mm_mul_ps(r, scale_[0]), offset_[0]);
            g = _mm_add_ps(_mm_mul_ps(g, scale_[1]), offset_[1]);
            b = _mm_add_ps(_mm_mul_ps(b, scale_[2]), offset_[2]);
        }
        store4(i, r, g, b);
    }
#endif

#if defined(QZAI_PREP_AVX2)
    // Pixels i .. i + 7.
    QZAI_TARGET_AVX2 void put8(size_t i, __m256 r, __m256 g, __m256 b) {
        if constexpr (kNormalise) {
            r = _mm256_add_ps(_mm256_mul_ps(r, _mm256_set1_ps(norm_.scale[0])), _mm256_set1_ps(norm_.offset[0]));
            g = _mm256_add_ps(_mm256_mul_ps(g, _mm256_set1_ps(norm_.scale[1])), _mm256_set1_ps(norm_.offset[1]));
            b = _mm256_add_ps(_mm256_mul_ps(b, _mm256_set1_ps(norm_.scale[2])), _mm256_set1_ps(norm_.offset[2]));
        }
        if constexpr (kPlanar) {
            _mm256_storeu_ps(dst_[0] + i, r);
            _mm256_storeu_ps(dst_[1] + i, g);
            _mm256_storeu_ps(dst_[2] + i, b);
        } else {
            // The interleaving of store4 within each 128-bit half (pixels
            // 0..3 and 4..7), then the halves put in memory order.
            const __m256 rgLo = _mm256_unpacklo_ps(r, g);
            const __m256 rgHi = _mm256_unpackhi_ps(r, g);
            const __m256 brLo = _mm256_unpacklo_ps(b, r);
            const __m256 brHi = _mm256_unpackhi_ps(b, r);
            const __m256 gbLo = _mm256_unpacklo_ps(g, b);
            const __m256 gbHi = _mm256_unpackhi_ps(g, b);
            const __m256 first = _mm256_shuffle_ps(rgLo, brLo, _MM_SHUFFLE(3, 0, 1, 0));
            const __m256 second = _mm256_shuffle_ps(gbLo, rgHi, _MM_SHUFFLE(1, 0, 3, 2));
            const __m256 third = _mm256_shuffle_ps(brHi, gbHi, _MM_SHUFFLE(3, 2, 3, 0));
            float* px = dst_[0] + 3 * i;
            _mm256_storeu_ps(px, _mm256_permute2f128_ps(first, second, 0x20));
            _mm256_storeu_ps(px + 8, _mm256_permute2f128_ps(third, first, 0x30));
            _mm256_storeu_ps(px + 16, _mm256_permute2f128_ps(second, third, 0x31));
        }
    }
#endif

private:
#if defined(__SSE2__)
    // Stores pixels i .. i + 3 as they are.
    void store4(size_t i, __m128 r, __m128 g, __m128 b) {
        if constexpr (kPlanar) {
            _mm_storeu_ps(dst_[0] + i, r);
            _mm_storeu_ps(dst_[1] + i, g);
            _mm_storeu_ps(dst_[2] + i, b);
        } else {
            // r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3
            const __m128 rgLo = _mm_unpacklo_ps(r, g);  // r0 g0 r1 g1
            const __m128 rgHi = _mm_unpackhi_ps(r, g);  // r2 g2 r3 g3
            const __m128 brLo = _mm_unpacklo_ps(b, r);  // b0 r0 b1 r1
            const __m128 brHi = _mm_unpackhi_ps(b, r);  // b2 r2 b3 r3
            const __m128 gbLo = _mm_unpacklo_ps(g, b);  // g0 b0 g1 b1
            const __m128 gbHi = _mm_unpackhi_ps(g, b);  // g2 b2 g3 b3
            float* px = dst_[0] + 3 * i;
            _mm_storeu_ps(px, _mm_shuffle_ps(rgLo, brLo, _MM_SHUFFLE(3, 0, 1, 0)));
            _mm_storeu_ps(px + 4, _mm_shuffle_ps(gbLo, rgHi, _MM_SHUFFLE(1, 0, 3, 2)));
            _mm_storeu_ps(px + 8, _mm_shuffle_ps(brHi, gbHi, _MM_SHUFFLE(3, 2, 3, 0)));
        }
    }
#endif

    float* dst_[3];
    Normalisation norm_;
#if defined(__SSE2__)
    __m128 scale_[3];
    __m128 offset_[3];
#endif
};

// Calls fn(writer) with the writer for the layout, normalising.
template <typename Fn>
void withNormalisedWriter(bool planar, float* const dst[3], const Normalisation& norm, Fn&& fn) {
    if (planar) {
        RgbWriter<true, true> writer(dst, norm);
        fn(writer);
    } else {
        RgbWriter<true, false> writer(dst, norm);
        fn(writer);
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
