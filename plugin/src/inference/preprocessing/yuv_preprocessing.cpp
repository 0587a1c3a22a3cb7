#include "inference/preprocessing/yuv_preprocessing.h"

#include <cstring>
#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "inference/preprocessing/resize_plan.h"
#include "inference/preprocessing/rgb_writer.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

#if defined(QZAI_PREP_AVX2)
// The low byte of each 32-bit element, in order.
QZAI_TARGET_AVX2 inline uint64_t lowBytes(__m256i v) {
    const __m256i pick = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                          0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i packed = _mm256_shuffle_epi8(v, pick);
    const auto lo = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(packed)));
    const auto hi = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(packed, 1)));
    return lo | static_cast<uint64_t>(hi) << 32;
}

// Gathers eight pixels at a time while every 4-byte read stays inside its
// row's pixels (columns ascend, so the block's last column decides); returns
// how many pixels it did, the rest are left to the scalar loop.
QZAI_TARGET_AVX2 size_t gatherAvx2(const uint8_t* yRow, const uint8_t* uRow, const uint8_t* vRow,
                                   const int32_t* columns, size_t n, int32_t width, uint8_t* ys, uint8_t* us,
                                   uint8_t* vs) {
    const int32_t chromaWidth = (width + 1) / 2;
    size_t i = 0;
    for (; i + 8 <= n && columns[i + 7] + 3 < width && columns[i + 7] / 2 + 3 < chromaWidth; i += 8) {
        const __m256i cols = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns + i));
        const __m256i half = _mm256_srli_epi32(cols, 1);
        const uint64_t y = lowBytes(_mm256_i32gather_epi32(reinterpret_cast<const int*>(yRow), cols, 1));
        const uint64_t u = lowBytes(_mm256_i32gather_epi32(reinterpret_cast<const int*>(uRow), half, 1));
        const uint64_t v = lowBytes(_mm256_i32gather_epi32(reinterpret_cast<const int*>(vRow), half, 1));
        std::memcpy(ys + i, &y, 8);
        std::memcpy(us + i, &u, 8);
        std::memcpy(vs + i, &v, 8);
    }
    return i;
}
#endif

// Samples Y, U and V of the mapped columns of one source row and converts
// them. Holds its scratch rows so a pass allocates them once.
class YuvRowSource {
public:
    YuvRowSource(const YuvPlanes& planes, size_t maxColumns)
        : p_(planes), y_(maxColumns), u_(maxColumns), v_(maxColumns) {}

    void operator()(int32_t sourceRow, const int32_t* columns, size_t n, float* r, float* g,
                    float* b) {
        gather(sourceRow, columns, n);
        convertYuvPixelsToRgb(y_.data(), u_.data(), v_.data(), n, r, g, b);
    }

    void normalised(int32_t sourceRow, const int32_t* columns, size_t n, const Normalisation& norm,
                    bool planar, float* const dst[3]) {
        gather(sourceRow, columns, n);
        convertYuvPixelsNormalised(y_.data(), u_.data(), v_.data(), n, norm, planar, dst);
    }

    void prefetch(int32_t sourceRow, const int32_t* columns, size_t n) const {
        const auto row = static_cast<size_t>(sourceRow);
        const auto first = static_cast<size_t>(columns[0]);
        const auto last = static_cast<size_t>(columns[n - 1]);
        prefetchBytes(p_.y + row * static_cast<size_t>(p_.yLineSize), first, last);
        prefetchBytes(p_.u + (row / 2) * static_cast<size_t>(p_.uLineSize), first / 2, last / 2);
        prefetchBytes(p_.v + (row / 2) * static_cast<size_t>(p_.vLineSize), first / 2, last / 2);
    }

private:
    // Y, U and V of the given columns into the scratch rows. The scratch
    // pointers are locals so the byte stores cannot make the compiler
    // reload them on every pixel.
    void gather(int32_t sourceRow, const int32_t* columns, size_t n) {
        const auto row = static_cast<size_t>(sourceRow);
        const uint8_t* yRow = p_.y + row * static_cast<size_t>(p_.yLineSize);
        const uint8_t* uRow = p_.u + (row / 2) * static_cast<size_t>(p_.uLineSize);
        const uint8_t* vRow = p_.v + (row / 2) * static_cast<size_t>(p_.vLineSize);
        uint8_t* ys = y_.data();
        uint8_t* us = u_.data();
        uint8_t* vs = v_.data();
        size_t i = 0;
#if defined(QZAI_PREP_AVX2)
        if (hasAvx2()) i = gatherAvx2(yRow, uRow, vRow, columns, n, p_.width, ys, us, vs);
#endif
        for (; i < n; ++i) {
            const auto col = static_cast<size_t>(columns[i]);
            ys[i] = yRow[col];
            us[i] = uRow[col / 2];
            vs[i] = vRow[col / 2];
        }
    }

    const YuvPlanes& p_;
    std::vector<uint8_t> y_, u_, v_;
};

// Plan for a usable frame and a supported target size, else nullopt.
std::optional<ResizePlan> planFor(const YuvPlanes& frame, uint64_t tw, uint64_t th,
                                  std::span<const float, 4> cropBox, ResizingMethod method) {
    if (!isUsable(frame) || !isSupportedTargetSize(tw, th)) return std::nullopt;
    return buildResizePlan(frame.width, frame.height, static_cast<int32_t>(tw),
                           static_cast<int32_t>(th), cropBox, method);
}

}  // namespace

std::optional<HeapArray<float>> preprocessYuvToFloat(const YuvPlanes& frame,
                                                     const ModelInputDetails_t& input,
                                                     std::span<const float, 4> cropBox,
                                                     ResizingMethod method) {
    const auto plan = planFor(frame, input.width, input.height, cropBox, method);
    if (!plan) return std::nullopt;
    return renderFloat(*plan, input, YuvRowSource(frame, static_cast<size_t>(plan->targetWidth)));
}

std::optional<HeapArray<float>> preprocessYuvToFloat(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, const ModelInputDetails_t& input,
    std::span<const float, 4> cropBox, ResizingMethod method) {
    return preprocessYuvToFloat(yuvPlanesOf(frame), input, cropBox, method);
}

std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(const YuvPlanes& frame, uint64_t tw,
                                                       uint64_t th,
                                                       std::span<const float, 4> cropBox,
                                                       ResizingMethod method) {
    const auto plan = planFor(frame, tw, th, cropBox, method);
    if (!plan) return std::nullopt;
    return renderBytes(*plan, YuvRowSource(frame, static_cast<size_t>(plan->targetWidth)));
}

std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint64_t tw, uint64_t th,
    std::span<const float, 4> cropBox, ResizingMethod method) {
    return preprocessYuvToUint8(yuvPlanesOf(frame), tw, th, cropBox, method);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
