// ResizePlan: everything a crop-and-resize pass needs that does not depend on
// the pixels (geometry, column and row maps, the run of mapped columns),
// computed once per frame and stage, and the two passes that walk the target
// image with it: one into normalised floats, one into interleaved bytes.
//
// A pass asks a row source for the mapped pixels of each non-padding target
// row and writes padding itself. A row source offers
//   source(sourceRow, sourceColumns, n, r, g, b)
// writing n float R, G, B values (0..255) for the given source columns, and
//   source.normalised(sourceRow, sourceColumns, n, norm, planar, dst)
// writing the same values normalised to three planes (dst[0..2]) or
// interleaved (dst[0]), as storeNormalisedPlanar / storeNormalisedInterleaved
// would write them. Before asking for a row the passes call
//   source.prefetch(nextSourceRow, sourceColumns, n)
// for the row they will ask for next, so its bytes can be on their way
// while the current row is converted.
//
// Plans are plain values; passes are thread-safe over distinct outputs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "common/heap_array.h"
#include "inference/preprocessing/normalisation.h"
#include "inference/preprocessing/resize_geometry.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct ResizePlan {
    int32_t targetWidth = 0;
    int32_t targetHeight = 0;
    ResizeGeometry geometry;
    std::vector<int32_t> columns;  // targetWidth entries, -1 = padding
    std::vector<int32_t> rows;     // targetHeight entries, -1 = padding
    MapRun columnRun;              // the mapped columns
};

// Requires W, H >= 1 and tw, th within 0..kMaxTargetSide.
ResizePlan buildResizePlan(int32_t W, int32_t H, int32_t tw, int32_t th,
                           std::span<const float, 4> cropBox, ResizingMethod method);

// Whether tw and th can be processed (each at most kMaxTargetSide).
inline bool isSupportedTargetSize(uint64_t tw, uint64_t th) {
    return tw <= kMaxTargetSide && th <= kMaxTargetSide;
}

// Hints that bytes first..last of `line` are read soon; reads nothing.
inline void prefetchBytes(const void* line, size_t first, size_t last) {
    const auto base = reinterpret_cast<uintptr_t>(line);
    for (uintptr_t a = (base + first) & ~uintptr_t{63}; a <= base + last; a += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(a), 0, 2);
}

// The run of mapped columns and one row of R, G, B values for it.
struct RowScratch {
    explicit RowScratch(const ResizePlan& plan)
        : begin(static_cast<size_t>(plan.columnRun.begin)),
          end(static_cast<size_t>(plan.columnRun.end)),
          n(end - begin),
          values(3 * n),
          r(values.data()),
          g(r + n),
          b(g + n) {}
    size_t begin, end, n;
    std::vector<float> values;
    float *r, *g, *b;
};

// Fills tw x th x 3 floats: planar (R, G, B planes) or interleaved. The
// rows that are all padding form a band above and a band below the image;
// each band is one contiguous run per plane (or of the interleaved image),
// written with one fill rather than row by row.
template <typename RowSource>
void resizeToFloat(const ResizePlan& plan, const Normalisation& norm, bool planar,
                   RowSource&& source, float* out) {
    const size_t tw = static_cast<size_t>(plan.targetWidth);
    const size_t th = static_cast<size_t>(plan.targetHeight);
    const size_t planeSize = tw * th;
    const auto begin = static_cast<size_t>(plan.columnRun.begin);
    const auto end = static_cast<size_t>(plan.columnRun.end);
    const size_t n = end - begin;
    const int32_t* columns = plan.columns.data() + begin;
    // Pixel p of the target as the pointers a row source takes: one per
    // plane, or the interleaved position.
    const auto at = [&](size_t p, float* line[3]) {
        line[0] = planar ? out + p : out + 3 * p;
        line[1] = planar ? out + planeSize + p : nullptr;
        line[2] = planar ? out + 2 * planeSize + p : nullptr;
    };
    // Writes padding into pixels p .. p + count - 1.
    const auto pad = [&](size_t p, size_t count) {
        float* line[3];
        at(p, line);
        if (planar)
            fillPaddingPlanar(count, norm, line);
        else
            fillPaddingInterleaved(count, norm, line[0]);
    };
    // Image rows are [first, last); with no mapped column every row is padding.
    const MapRun rowRun = findMappedRun(plan.rows);
    const size_t first = n == 0 ? th : static_cast<size_t>(rowRun.begin);
    const size_t last = n == 0 ? th : static_cast<size_t>(rowRun.end);
    pad(0, first * tw);
    pad(last * tw, (th - last) * tw);
    for (size_t row = first; row < last; ++row) {
        if (row + 1 < last) source.prefetch(plan.rows[row + 1], columns, n);
        pad(row * tw, begin);
        float* mid[3];
        at(row * tw + begin, mid);
        source.normalised(plan.rows[row], columns, n, norm, planar, mid);
        pad(row * tw + end, tw - end);
    }
}

// Fills tw x th x 3 interleaved bytes; padding is 0, 0, 0. Values are
// clamped to 0..255 and truncated.
template <typename RowSource>
void resizeToBytes(const ResizePlan& plan, RowSource&& source, uint8_t* out) {
    const size_t tw = static_cast<size_t>(plan.targetWidth);
    RowScratch rgb(plan);
    const size_t begin = rgb.begin, end = rgb.end, n = rgb.n;
    float *r = rgb.r, *g = rgb.g, *b = rgb.b;
    for (size_t row = 0; row < static_cast<size_t>(plan.targetHeight); ++row) {
        uint8_t* line = out + 3 * row * tw;
        const int32_t sourceRow = plan.rows[row];
        if (sourceRow < 0 || n == 0) {
            std::fill(line, line + 3 * tw, uint8_t{0});
            continue;
        }
        if (row + 1 < plan.rows.size() && plan.rows[row + 1] >= 0)
            source.prefetch(plan.rows[row + 1], plan.columns.data() + begin, n);
        source(sourceRow, plan.columns.data() + begin, n, r, g, b);
        std::fill(line, line + 3 * begin, uint8_t{0});
        storeRgbBytes(r, g, b, n, line + 3 * begin);
        std::fill(line + 3 * end, line + 3 * tw, uint8_t{0});
    }
}

// The whole float road for a plan: allocates the output, runs the pass,
// reduces to grey when input.channels is 1. nullopt when the output cannot
// be allocated; an empty block for a zero-sized target.
template <typename RowSource>
std::optional<HeapArray<float>> renderFloat(const ResizePlan& plan, const ModelInputDetails_t& input,
                                            RowSource&& source) {
    HeapArray<float> out;
    const size_t pixels = static_cast<size_t>(plan.targetWidth) * static_cast<size_t>(plan.targetHeight);
    if (!out.allocate(3 * pixels)) return std::nullopt;
    if (pixels == 0) return out;
    const bool planar = input.order == 0;
    resizeToFloat(plan, buildNormalisation(input.means, input.vars), planar, source, out.data());
    if (input.channels == 1) convertRgbToGrey(out, input.width, input.height, !planar);
    return out;
}

// The whole 8-bit road for a plan, with the same results as renderFloat.
template <typename RowSource>
std::optional<HeapArray<uint8_t>> renderBytes(const ResizePlan& plan, RowSource&& source) {
    HeapArray<uint8_t> out;
    const size_t pixels = static_cast<size_t>(plan.targetWidth) * static_cast<size_t>(plan.targetHeight);
    if (!out.allocate(3 * pixels)) return std::nullopt;
    if (pixels == 0) return out;
    resizeToBytes(plan, source, out.data());
    return out;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
