#include "inference/preprocessing/colour_conversion.h"

#include <cstring>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Four lanes at a time through the compiler's generic vectors (one SSE
// register on baseline x86-64); the scalar tail performs the same float
// operations in the same order, so every pixel gets bit-identical results.
constexpr size_t kLanes = 4;
using F32x4 = float __attribute__((vector_size(16)));
using U8x4 = uint8_t __attribute__((vector_size(4)));

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
inline F32x4 clampChannel(F32x4 x) {
    const F32x4 lo = {};
    const F32x4 hi = lo + 255.0f;
    x = x >= lo ? x : lo;
    return x <= hi ? x : hi;
}

inline F32x4 loadBytes(const uint8_t* p) {
    U8x4 bytes;
    std::memcpy(&bytes, p, sizeof(bytes));
    return __builtin_convertvector(bytes, F32x4);
}

}  // namespace

void convertYuvPixelsToRgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t n,
                           float* r, float* g, float* b) {
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const F32x4 yy = loadBytes(y + i);
        const F32x4 uu = loadBytes(u + i) - 128.0f;
        const F32x4 vv = loadBytes(v + i) - 128.0f;
        const F32x4 rr = clampChannel(yy + kRv * vv);
        const F32x4 gg = clampChannel(yy - kGu * uu - kGv * vv);
        const F32x4 bb = clampChannel(yy + kBu * uu);
        std::memcpy(r + i, &rr, sizeof(rr));
        std::memcpy(g + i, &gg, sizeof(gg));
        std::memcpy(b + i, &bb, sizeof(bb));
    }
    for (; i < n; ++i) {
        const float yy = y[i];
        const float uu = static_cast<float>(u[i]) - 128.0f;
        const float vv = static_cast<float>(v[i]) - 128.0f;
        r[i] = clampChannel(yy + kRv * vv);
        g[i] = clampChannel(yy - kGu * uu - kGv * vv);
        b[i] = clampChannel(yy + kBu * uu);
    }
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

    // Chroma widened to one sample per pixel, shared by the two rows of a block.
    std::vector<uint8_t> uWide(W), vWide(W);
    std::vector<float> rgb(planar ? 0 : 3 * W);

    for (size_t row = 0; row < H; ++row) {
        const uint8_t* yRow = p.y + row * static_cast<size_t>(p.yLineSize);
        if ((row & 1) == 0) {
            const uint8_t* uRow = p.u + (row / 2) * static_cast<size_t>(p.uLineSize);
            const uint8_t* vRow = p.v + (row / 2) * static_cast<size_t>(p.vLineSize);
            for (size_t col = 0; col < W; ++col) {
                uWide[col] = uRow[col / 2];
                vWide[col] = vRow[col / 2];
            }
        }
        if (planar) {
            float* r = out + row * W;
            convertYuvPixelsToRgb(yRow, uWide.data(), vWide.data(), W, r, r + planeSize,
                                  r + 2 * planeSize);
        } else {
            float* r = rgb.data();
            float* g = r + W;
            float* b = g + W;
            convertYuvPixelsToRgb(yRow, uWide.data(), vWide.data(), W, r, g, b);
            float* dst = out + 3 * row * W;
            for (size_t col = 0; col < W; ++col) {
                dst[3 * col] = r[col];
                dst[3 * col + 1] = g[col];
                dst[3 * col + 2] = b[col];
            }
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
