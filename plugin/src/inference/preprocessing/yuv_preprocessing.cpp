#include "inference/preprocessing/yuv_preprocessing.h"

#include <cstring>
#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "inference/preprocessing/column_shuffle.h"
#include "inference/preprocessing/resize_plan.h"
#include "inference/preprocessing/rgb_writer.h"
#include "inference/preprocessing/yuv_rgb_kernel.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// The three rows of a source row.
struct YuvRows {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
};

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

// Converts every whole block of sixteen columns of a row, picking Y, U and
// V with the tables' shuffles straight into the conversion; returns how
// many pixels it wrote.
template <typename Writer>
QZAI_TARGET_AVX2 size_t convertShuffled(YuvRows rows, const ColumnShuffle& luma, const ColumnShuffle& chroma,
                                        const Writer& writer) {
    // Locals, so the stores cannot make the compiler reload them.
    Writer out = writer;
    const size_t blocks = luma.blocks();
    const int lumaLoads = luma.loads(), chromaLoads = chroma.loads();
    const uint32_t* lumaStarts = luma.starts();
    const uint32_t* chromaStarts = chroma.starts();
    const uint8_t* lumaMasks = luma.masks();
    const uint8_t* chromaMasks = chroma.masks();
    for (size_t b = 0; b < blocks; ++b) {
        const __m128i y = pickColumns(rows.y + lumaStarts[b], lumaMasks, lumaLoads);
        const __m128i u = centreChroma(pickColumns(rows.u + chromaStarts[b], chromaMasks, chromaLoads));
        const __m128i v = centreChroma(pickColumns(rows.v + chromaStarts[b], chromaMasks, chromaLoads));
        lumaMasks += 16 * lumaLoads;
        chromaMasks += 16 * chromaLoads;
        convert8(y, u, v, 16 * b, out);
        convert8(_mm_unpackhi_epi64(y, y), _mm_unpackhi_epi64(u, u), _mm_unpackhi_epi64(v, v), 16 * b + 8, out);
    }
    return 16 * blocks;
}
#endif

// Samples Y, U and V of the mapped columns of one source row and converts
// them. With AVX2 and a column run that byte shuffles can pick, whole
// blocks of sixteen pixels go straight from the rows into the output and
// only the rest passes through the scratch rows. Holds its tables and
// scratch rows so a pass builds them once.
class YuvRowSource {
public:
    // `columns` (n entries) is the column run the pass will ask for.
    YuvRowSource(const YuvPlanes& planes, const int32_t* columns, size_t n)
        : p_(planes), columns_(columns), n_(n), y_(n), u_(n), v_(n) {
#if defined(QZAI_PREP_AVX2)
        if (avx2Enabled()) {
            luma_ = ColumnShuffle(columns, n, 0, planes.width);
            chroma_ = ColumnShuffle(columns, n, 1, (planes.width + 1) / 2);
            shuffled_ = luma_.loads() > 0 && chroma_.loads() > 0;
        }
#endif
    }

    void operator()(int32_t sourceRow, const int32_t* columns, size_t n, float* r, float* g,
                    float* b) {
        size_t done = 0;
#if defined(QZAI_PREP_AVX2)
        if (shuffled_ && isPlannedRun(columns, n)) {
            float* const dst[3] = {r, g, b};
            done = convertShuffled(rowsOf(sourceRow), luma_, chroma_, RgbWriter<false, true>(dst));
        }
#endif
        if (done == n) return;
        gather(sourceRow, columns + done, n - done);
        convertYuvPixelsToRgb(y_.data(), u_.data(), v_.data(), n - done, r + done, g + done, b + done);
    }

    void normalised(int32_t sourceRow, const int32_t* columns, size_t n, const Normalisation& norm,
                    bool planar, float* const dst[3]) {
        size_t done = 0;
#if defined(QZAI_PREP_AVX2)
        if (shuffled_ && isPlannedRun(columns, n)) {
            if (planar)
                done = convertShuffled(rowsOf(sourceRow), luma_, chroma_, RgbWriter<true, true>(dst, norm));
            else
                done = convertShuffled(rowsOf(sourceRow), luma_, chroma_, RgbWriter<true, false>(dst, norm));
        }
#endif
        if (done == n) return;
        gather(sourceRow, columns + done, n - done);
        float* const rest[3] = {planar ? dst[0] + done : dst[0] + 3 * done, planar ? dst[1] + done : nullptr,
                                planar ? dst[2] + done : nullptr};
        convertYuvPixelsNormalised(y_.data(), u_.data(), v_.data(), n - done, norm, planar, rest);
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
    YuvRows rowsOf(int32_t sourceRow) const {
        const auto row = static_cast<size_t>(sourceRow);
        return {p_.y + row * static_cast<size_t>(p_.yLineSize), p_.u + (row / 2) * static_cast<size_t>(p_.uLineSize),
                p_.v + (row / 2) * static_cast<size_t>(p_.vLineSize)};
    }

    // Whether the tables were built for these columns.
    bool isPlannedRun(const int32_t* columns, size_t n) const { return columns == columns_ && n == n_; }

    // Y, U and V of the given columns into the scratch rows. The scratch
    // pointers are locals so the byte stores cannot make the compiler
    // reload them on every pixel.
    void gather(int32_t sourceRow, const int32_t* columns, size_t n) {
        const YuvRows rows = rowsOf(sourceRow);
        uint8_t* ys = y_.data();
        uint8_t* us = u_.data();
        uint8_t* vs = v_.data();
        size_t i = 0;
#if defined(QZAI_PREP_AVX2)
        if (avx2Enabled()) i = gatherAvx2(rows.y, rows.u, rows.v, columns, n, p_.width, ys, us, vs);
#endif
        for (; i < n; ++i) {
            const auto col = static_cast<size_t>(columns[i]);
            ys[i] = rows.y[col];
            us[i] = rows.u[col / 2];
            vs[i] = rows.v[col / 2];
        }
    }

    const YuvPlanes& p_;
    const int32_t* columns_;
    size_t n_;
    std::vector<uint8_t> y_, u_, v_;
#if defined(QZAI_PREP_AVX2)
    ColumnShuffle luma_, chroma_;
    bool shuffled_ = false;
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
