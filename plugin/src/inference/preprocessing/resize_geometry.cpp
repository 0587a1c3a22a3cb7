#include "inference/preprocessing/resize_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qz::vms_server_plugins::analytics::qzai {

int32_t saturatingTruncate(float value) {
    if (std::isnan(value)) return 0;
    // 2^31 is exactly representable; every float below it truncates into range.
    if (value >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

namespace {

// Start and length of the crop along one axis of `extent` source pixels.
void cropAxis(int32_t extent, float from, float to, int32_t& start, int32_t& length) {
    const float size = static_cast<float>(extent);
    start = std::clamp(saturatingTruncate(size * from), 0, extent - 1);
    int32_t end = std::min(saturatingTruncate(size * to), extent);
    end = std::max(end, start + 1);
    length = end - start;
}

// Target index -> source index along one axis; -1 for padding.
std::vector<int32_t> buildAxisMap(int32_t targetSize, int32_t cropStart, int32_t cropSize,
                                  int32_t placedSize, int32_t offset) {
    std::vector<int32_t> map(static_cast<size_t>(std::max(targetSize, 0)), -1);
    if (placedSize <= 0) return map;  // the step would be infinite: all padding
    const float step = static_cast<float>(cropSize) / static_cast<float>(placedSize);
    for (int32_t i = 0; i < targetSize; ++i) {
        const int64_t rel = static_cast<int64_t>(i) - offset;
        const int32_t k = saturatingTruncate(static_cast<float>(rel) * step);
        if (k >= 0 && k < cropSize) map[static_cast<size_t>(i)] = cropStart + k;
    }
    return map;
}

}  // namespace

ResizeGeometry computeResizeGeometry(int32_t W, int32_t H, int32_t tw, int32_t th,
                                     std::span<const float, 4> cropBox, ResizingMethod method) {
    ResizeGeometry g;
    cropAxis(W, cropBox[0], cropBox[2], g.cropX, g.cropWidth);
    cropAxis(H, cropBox[1], cropBox[3], g.cropY, g.cropHeight);

    if (method == ResizingMethod::Fit || method == ResizingMethod::Crop) {
        const float sx = static_cast<float>(tw) / static_cast<float>(g.cropWidth);
        const float sy = static_cast<float>(th) / static_cast<float>(g.cropHeight);
        const float s = method == ResizingMethod::Fit ? std::min(sx, sy) : std::max(sx, sy);
        g.placedWidth = saturatingTruncate(static_cast<float>(g.cropWidth) * s);
        g.placedHeight = saturatingTruncate(static_cast<float>(g.cropHeight) * s);
        // Computed in 64 bits: a saturated placed size must not overflow.
        g.offsetX = static_cast<int32_t>((static_cast<int64_t>(tw) - g.placedWidth) / 2);
        g.offsetY = static_cast<int32_t>((static_cast<int64_t>(th) - g.placedHeight) / 2);
    } else {
        g.placedWidth = tw;
        g.placedHeight = th;
        g.offsetX = 0;
        g.offsetY = 0;
    }
    return g;
}

std::vector<int32_t> buildColumnMap(const ResizeGeometry& g, int32_t tw) {
    return buildAxisMap(tw, g.cropX, g.cropWidth, g.placedWidth, g.offsetX);
}

std::vector<int32_t> buildRowMap(const ResizeGeometry& g, int32_t th) {
    return buildAxisMap(th, g.cropY, g.cropHeight, g.placedHeight, g.offsetY);
}

MapRun findMappedRun(const std::vector<int32_t>& map) {
    MapRun run;
    const auto n = static_cast<int32_t>(map.size());
    while (run.begin < n && map[static_cast<size_t>(run.begin)] < 0) ++run.begin;
    run.end = run.begin;
    while (run.end < n && map[static_cast<size_t>(run.end)] >= 0) ++run.end;
    return run;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
