#include "inference/preprocessing/colour_conversion.h"

#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr float kRv = 1.402f;
constexpr float kGu = 0.344136f;
constexpr float kGv = 0.714136f;
constexpr float kBu = 1.772f;

// Clamps to 0..255; NaN gives 0. (For every other value this equals
// clamping to at most 255 first and then to at least 0.)
inline float clampChannel(float x) {
    x = x >= 0.0f ? x : 0.0f;
    return x <= 255.0f ? x : 255.0f;
}

inline void convertPixel(float y, float u, float v, float* r, float* g, float* b) {
    u -= 128.0f;
    v -= 128.0f;
    *r = clampChannel(y + kRv * v);
    *g = clampChannel(y - kGu * u - kGv * v);
    *b = clampChannel(y + kBu * u);
}

#if defined(__SSE2__)
// Sixteen pixels at a time with SSE2 (the x86-64 baseline). Every lane
// performs the float operations of convertPixel in the same order, so the
// vector and scalar paths give bit-identical results.
inline __m128 clampChannel(__m128 x) {
    x = _mm_max_ps(x, _mm_setzero_ps());  // NaN gives the second operand, 0
    return _mm_min_ps(x, _mm_set1_ps(255.0f));
}

inline void convert4(__m128 y, __m128 u, __m128 v, float* r, float* g, float* b) {
    const __m128 mid = _mm_set1_ps(128.0f);
    u = _mm_sub_ps(u, mid);
    v = _mm_sub_ps(v, mid);
    _mm_storeu_ps(r, clampChannel(_mm_add_ps(y, _mm_mul_ps(_mm_set1_ps(kRv), v))));
    const __m128 gu = _mm_sub_ps(y, _mm_mul_ps(_mm_set1_ps(kGu), u));
    _mm_storeu_ps(g, clampChannel(_mm_sub_ps(gu, _mm_mul_ps(_mm_set1_ps(kGv), v))));
    _mm_storeu_ps(b, clampChannel(_mm_add_ps(y, _mm_mul_ps(_mm_set1_ps(kBu), u))));
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

inline void convert16(const uint8_t* y, __m128i u, __m128i v, float* r, float* g, float* b) {
    __m128 yf[4], uf[4], vf[4];
    widen16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)), yf);
    widen16(u, uf);
    widen16(v, vf);
    for (int k = 0; k < 4; ++k) convert4(yf[k], uf[k], vf[k], r + 4 * k, g + 4 * k, b + 4 * k);
}
#endif

// One row whose chroma has one sample per two pixels (u[i / 2]).
void convertRowHalfChroma(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n, float* r,
                          float* g, float* b) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + i / 2));
        const __m128i v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + i / 2));
        convert16(y + i, _mm_unpacklo_epi8(u8, u8), _mm_unpacklo_epi8(v8, v8), r + i, g + i, b + i);
    }
#endif
    for (; i < n; ++i) convertPixel(y[i], u[i / 2], v[i / 2], r + i, g + i, b + i);
}

}  // namespace

void convertYuvPixelsToRgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                           float* r, float* g, float* b) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        convert16(y + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i)),
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)), r + i, g + i, b + i);
    }
#endif
    for (; i < n; ++i) convertPixel(y[i], u[i], v[i], r + i, g + i, b + i);
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

    std::vector<float> rgb(planar ? 0 : 3 * W);
    for (size_t row = 0; row < H; ++row) {
        const uint8_t* yRow = p.y + row * static_cast<size_t>(p.yLineSize);
        const uint8_t* uRow = p.u + (row / 2) * static_cast<size_t>(p.uLineSize);
        const uint8_t* vRow = p.v + (row / 2) * static_cast<size_t>(p.vLineSize);
        if (planar) {
            float* r = out + row * W;
            convertRowHalfChroma(yRow, uRow, vRow, W, r, r + planeSize, r + 2 * planeSize);
            continue;
        }
        float* r = rgb.data();
        float* g = r + W;
        float* b = g + W;
        convertRowHalfChroma(yRow, uRow, vRow, W, r, g, b);
        float* dst = out + 3 * row * W;
        for (size_t col = 0; col < W; ++col) {
            dst[3 * col] = r[col];
            dst[3 * col + 1] = g[col];
            dst[3 * col + 2] = b[col];
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
