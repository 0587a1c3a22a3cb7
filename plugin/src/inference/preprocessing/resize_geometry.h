// Where a crop of the source lands in the model's input: the resize geometry
// for the three resizing methods, and the maps from target columns and rows
// to source columns and rows (nearest neighbour, truncating toward zero).
//
// Every float-to-integer conversion here saturates (NaN counts as 0), so crop
// boxes from user settings can hold any value without undefined behaviour;
// finite in-range values truncate toward zero as a plain cast would.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "records/pipeline_stage.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Largest model input side the preprocessing accepts.
inline constexpr uint64_t kMaxTargetSide = 32768;

struct ResizeGeometry {
    int32_t cropX = 0;         // first source column of the crop
    int32_t cropY = 0;         // first source row of the crop
    int32_t cropWidth = 1;     // at least 1
    int32_t cropHeight = 1;    // at least 1
    int32_t placedWidth = 0;   // width of the scaled crop inside the target
    int32_t placedHeight = 0;  // height of the scaled crop inside the target
    int32_t offsetX = 0;       // target column where the scaled crop starts (may be negative)
    int32_t offsetY = 0;       // target row where the scaled crop starts (may be negative)
};

// Truncates toward zero, saturating at the int32 limits; NaN gives 0.
int32_t saturatingTruncate(float value);

// Geometry of a W x H source scaled into tw x th. cropBox holds x0, y0, x1,
// y1 as fractions of W and H; it is clamped to the frame and always yields a
// crop of at least one pixel. Requires W, H >= 1 and tw, th <= kMaxTargetSide.
// Method Fit centres the whole crop (padding bands), Crop fills the target
// (overflowing parts cut off, negative offsets), Stretch and any unknown
// value map the crop onto the whole target.
ResizeGeometry computeResizeGeometry(int32_t W, int32_t H, int32_t tw, int32_t th,
                                     std::span<const float, 4> cropBox, ResizingMethod method);

// One source column per target column (tw entries); -1 marks padding.
std::vector<int32_t> buildColumnMap(const ResizeGeometry& g, int32_t tw);
// One source row per target row (th entries); -1 marks padding.
std::vector<int32_t> buildRowMap(const ResizeGeometry& g, int32_t th);

// The non-padding entries of a map form one contiguous run [begin, end)
// because the mapping is monotonic; begin == end when everything is padding.
struct MapRun {
    int32_t begin = 0;
    int32_t end = 0;
};
MapRun findMappedRun(const std::vector<int32_t>& map);

}  // namespace qz::vms_server_plugins::analytics::qzai
