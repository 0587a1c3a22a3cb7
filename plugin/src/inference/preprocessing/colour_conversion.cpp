#include "inference/preprocessing/colour_conversion.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "inference/preprocessing/rgb_writer.h"
#include "inference/preprocessing/yuv_rgb_kernel.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr float kRv = kYuvRv;
constexpr float kGu = kYuvGu;
constexpr float kGv = kYuvGv;
constexpr float kBu = kYuvBu;

#if defined(__SSE2__)
// Sixteen pixels at a time with SSE2 (the x86-64 baseline). Every lane
// performs the float operations of convertPixel in the same order, so the
// vector and scalar paths give bit-identical results.
inline __m128 clampChannel(__m128 x) {
    x = _mm_max_ps(x, _mm_setzero_ps());  // NaN gives the second operand, 0
    return _mm_min_ps(x, _mm_set1_ps(255.0f));
}

template <typename Writer>
inline void convert4(__m128 y, __m128 u, __m128 v, size_t i, Writer& out) {
    const __m128 mid = _mm_set1_ps(128.0f);
    u = _mm_sub_ps(u, mid);
    v = _mm_sub_ps(v, mid);
    const __m128 r = clampChannel(_mm_add_ps(y, _mm_mul_ps(_mm_set1_ps(kRv), v)));
    const __m128 gu = _mm_sub_ps(y, _mm_mul_ps(_mm_set1_ps(kGu), u));
    const __m128 g = clampChannel(_mm_sub_ps(gu, _mm_mul_ps(_mm_set1_ps(kGv), v)));
    const __m128 b = clampChannel(_mm_add_ps(y, _mm_mul_ps(_mm_set1_ps(kBu), u)));
    out.put4(i, r, g, b);
}

// Sixteen bytes as four vectors of four floats.
inline void widen16(__m128i bytes, __m128 out[4]) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(bytes, zero);
    const __m128i hi = _mm_unpackhi_epi8(bytes, zero);
    out[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero));
    out[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero));
    out[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero));
    out[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero));
}

// Pixels i .. i + 15.
template <typename Writer>
inline void convert16(const uint8_t* y, __m128i u, __m128i v, size_t i, Writer& out) {
    __m128 yf[4], uf[4], vf[4];
    widen16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)), yf);
    widen16(u, uf);
    widen16(v, vf);
    for (size_t k = 0; k < 4; ++k) convert4(yf[k], uf[k], vf[k], i + 4 * k, out);
}
#endif

#if defined(QZAI_PREP_AVX2)
// Eight bytes into the low lanes of a vector.
inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// Four bytes into the low lanes of a vector.
inline __m128i load4(const uint8_t* p) {
    int32_t word;
    std::memcpy(&word, p, sizeof word);
    return _mm_cvtsi32_si128(word);
}

template <typename Writer>
QZAI_TARGET_AVX2 void convertRowHalfChromaAvx2(const uint8_t* y, const uint8_t* u,
                                               const uint8_t* v, size_t n, Writer& out) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i u4 = load4(u + i / 2);
        const __m128i v4 = load4(v + i / 2);
        const __m128i u8 = centreChroma(_mm_unpacklo_epi8(u4, u4));
        const __m128i v8 = centreChroma(_mm_unpacklo_epi8(v4, v4));
        convert8(load8(y + i), u8, v8, i, out);
    }
    for (; i < n; ++i) convertPixel(y[i], u[i / 2], v[i / 2], i, out);
}

template <typename Writer>
QZAI_TARGET_AVX2 void convertPixelsAvx2(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                                        size_t n, Writer& out) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        convert8(load8(y + i), centreChroma(load8(u + i)), centreChroma(load8(v + i)), i, out);
    }
    for (; i < n; ++i) convertPixel(y[i], u[i], v[i], i, out);
}
#endif

// One row whose chroma has one sample per two pixels (u[i / 2]).
template <typename Writer>
void convertRowHalfChroma(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                          Writer&& out) {
#if defined(QZAI_PREP_AVX2)
    if (avx2Enabled()) return convertRowHalfChromaAvx2(y, u, v, n, out);
#endif
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + i / 2));
        const __m128i v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + i / 2));
        convert16(y + i, _mm_unpacklo_epi8(u8, u8), _mm_unpacklo_epi8(v8, v8), i, out);
    }
#endif
    for (; i < n; ++i) convertPixel(y[i], u[i / 2], v[i / 2], i, out);
}

// n pixels with one chroma sample each.
template <typename Writer>
void convertPixels(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n, Writer&& out) {
#if defined(QZAI_PREP_AVX2)
    if (avx2Enabled()) return convertPixelsAvx2(y, u, v, n, out);
#endif
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        convert16(y + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i)),
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)), i, out);
    }
#endif
    for (; i < n; ++i) convertPixel(y[i], u[i], v[i], i, out);
}

}  // namespace

void convertYuvPixelsToRgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                           float* r, float* g, float* b) {
    float* const dst[3] = {r, g, b};
    convertPixels(y, u, v, n, RgbWriter<false, true>(dst));
}

void convertYuvPixelsNormalised(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                                const Normalisation& norm, bool planar, float* const dst[3]) {
    withNormalisedWriter(planar, dst, norm, [&](auto& out) { convertPixels(y, u, v, n, out); });
}

void storeRgbBytes(const float* r, const float* g, const float* b, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        out[3 * i] = static_cast<uint8_t>(static_cast<int>(clampChannel(r[i])));
        out[3 * i + 1] = static_cast<uint8_t>(static_cast<int>(clampChannel(g[i])));
        out[3 * i + 2] = static_cast<uint8_t>(static_cast<int>(clampChannel(b[i])));
    }
}

bool convertYuvToRgb(const YuvPlanes& p, uint32_t layout, float* out) {
    if (!isUsable(p) || !out) return false;
    const auto W = static_cast<size_t>(p.width);
    const auto H = static_cast<size_t>(p.height);
    const size_t planeSize = W * H;
    const bool planar = layout == 0;

    for (size_t row = 0; row < H; ++row) {
        const uint8_t* yRow = p.y + row * static_cast<size_t>(p.yLineSize);
        const uint8_t* uRow = p.u + (row / 2) * static_cast<size_t>(p.uLineSize);
        const uint8_t* vRow = p.v + (row / 2) * static_cast<size_t>(p.vLineSize);
        if (planar) {
            float* r = out + row * W;
            float* const dst[3] = {r, r + planeSize, r + 2 * planeSize};
            convertRowHalfChroma(yRow, uRow, vRow, W, RgbWriter<false, true>(dst));
        } else {
            float* const dst[3] = {out + 3 * row * W, nullptr, nullptr};
            convertRowHalfChroma(yRow, uRow, vRow, W, RgbWriter<false, false>(dst));
        }
    }
    return true;
}

HeapArray<float> convertFrameToRgb(const YuvPlanes& planes, uint32_t layout) {
    HeapArray<float> out;
    if (!isUsable(planes)) return out;
    const size_t count = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height) * 3;
    if (!out.allocate(count)) return out;
    convertYuvToRgb(planes, layout, out.data());
    return out;
}

HeapArray<float> convertFrameToRgb(const qz::sdk::analytics::IUncompressedVideoFrame* frame,
                                   uint32_t layout) {
    return convertFrameToRgb(yuvPlanesOf(frame), layout);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
