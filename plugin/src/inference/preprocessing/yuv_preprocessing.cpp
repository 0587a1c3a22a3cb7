#include "inference/preprocessing/yuv_preprocessing.h"

#include <cstring>
#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "inference/preprocessing/column_shuffle.h"
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

// Y, U and V of every whole block of sixteen columns, picked with the
// tables' shuffles; returns how many pixels it did.
template <int kLuma, int kChroma>
QZAI_TARGET_AVX2 size_t shuffleRow(const uint8_t* yRow, const uint8_t* uRow, const uint8_t* vRow,
                                   const ColumnShuffle& luma, const ColumnShuffle& chroma, uint8_t* ys,
                                   uint8_t* us, uint8_t* vs) {
    const size_t blocks = luma.blocks();
    for (size_t b = 0; b < blocks; ++b) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(ys + 16 * b), pickColumns<kLuma>(yRow, luma, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(us + 16 * b), pickColumns<kChroma>(uRow, chroma, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(vs + 16 * b), pickColumns<kChroma>(vRow, chroma, b));
    }
    return 16 * blocks;
}

using ShuffleRowFn = size_t (*)(const uint8_t*, const uint8_t*, const uint8_t*, const ColumnShuffle&,
                                const ColumnShuffle&, uint8_t*, uint8_t*, uint8_t*);

template <int kLuma>
ShuffleRowFn shuffleRowFor(int chromaLoads) {
    switch (chromaLoads) {
        case 1: return shuffleRow<kLuma, 1>;
        case 2: return shuffleRow<kLuma, 2>;
        case 3: return shuffleRow<kLuma, 3>;
        default: return shuffleRow<kLuma, 4>;
    }
}

// The row function for the tables' load counts; null when either table
// is unusable.
ShuffleRowFn shuffleRowFor(const ColumnShuffle& luma, const ColumnShuffle& chroma) {
    static_assert(kMaxShuffleLoads == 4);
    if (luma.loads() == 0 || chroma.loads() == 0) return nullptr;
    switch (luma.loads()) {
        case 1: return shuffleRowFor<1>(chroma.loads());
        case 2: return shuffleRowFor<2>(chroma.loads());
        case 3: return shuffleRowFor<3>(chroma.loads());
        default: return shuffleRowFor<4>(chroma.loads());
    }
}
#endif

// Samples Y, U and V of the mapped columns of one source row and converts
// them. Holds its scratch rows so a pass allocates them once.
class YuvRowSource {
public:
    // `columns` (n entries) is the column run the pass will ask for.
    YuvRowSource(const YuvPlanes& planes, const int32_t* columns, size_t n)
        : p_(planes), columns_(columns), n_(n), y_(n), u_(n), v_(n) {
#if defined(QZAI_PREP_AVX2)
        if (hasAvx2()) {
            luma_ = ColumnShuffle(columns, n, 0, planes.width);
            chroma_ = ColumnShuffle(columns, n, 1, (planes.width + 1) / 2);
            shuffleRow_ = shuffleRowFor(luma_, chroma_);
        }
#endif
    }

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
        if (shuffleRow_ && columns == columns_ && n == n_)
            i = shuffleRow_(yRow, uRow, vRow, luma_, chroma_, ys, us, vs);
        else if (hasAvx2())
            i = gatherAvx2(yRow, uRow, vRow, columns, n, p_.width, ys, us, vs);
#endif
        for (; i < n; ++i) {
            const auto col = static_cast<size_t>(columns[i]);
            ys[i] = yRow[col];
            us[i] = uRow[col / 2];
            vs[i] = vRow[col / 2];
        }
    }

    const YuvPlanes& p_;
    const int32_t* columns_;
    size_t n_;
    std::vector<uint8_t> y_, u_, v_;
#if defined(QZAI_PREP_AVX2)
    ColumnShuffle luma_, chroma_;
    ShuffleRowFn shuffleRow_ = nullptr;
#endif
};

// Plan for a usable frame and a supported target size, else nullopt.
std::optional<ResizePlan> planFor(const YuvPlanes& frame, uint64_t tw, uint64_t th,
                                  std::span<const float, 4> cropBox, ResizingMethod method) {
    if (!isUsable(frame) || !isSupportedTargetSize(tw, th)) return std::nullopt;
    return buildResizePlan(frame.width, frame.height, static_cast<int32_t>(tw),
                           static_cast<int32_t>(th), cropBox, method);
}

YuvRowSource sourceFor(const YuvPlanes& frame, const ResizePlan& plan) {
    const auto begin = static_cast<size_t>(plan.columnRun.begin);
    const auto end = static_cast<size_t>(plan.columnRun.end);
    return YuvRowSource(frame, plan.columns.data() + begin, end - begin);
}

}  // namespace

std::optional<HeapArray<float>> preprocessYuvToFloat(const YuvPlanes& frame,
                                                     const ModelInputDetails_t& input,
                                                     std::span<const float, 4> cropBox,
                                                     ResizingMethod method) {
    const auto plan = planFor(frame, input.width, input.height, cropBox, method);
    if (!plan) return std::nullopt;
    return renderFloat(*plan, input, sourceFor(frame, *plan));
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
    return renderBytes(*plan, sourceFor(frame, *plan));
}

std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint64_t tw, uint64_t th,
    std::span<const float, 4> cropBox, ResizingMethod method) {
    return preprocessYuvToUint8(yuvPlanesOf(frame), tw, th, cropBox, method);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
