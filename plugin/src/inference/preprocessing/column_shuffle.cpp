#include "inference/preprocessing/column_shuffle.h"

#include <algorithm>

namespace qz::vms_server_plugins::analytics::qzai {

ColumnShuffle::ColumnShuffle(const int32_t* columns, size_t n, unsigned shift, int32_t rowWidth) {
    const size_t blocks = n / 16;
    if (blocks == 0) return;
    auto at = [&](size_t i) { return static_cast<int64_t>(columns[i]) >> shift; };
    int64_t widest = 0;
    for (size_t b = 0; b < blocks; ++b) {
        const auto [lo, hi] = std::minmax_element(columns + 16 * b, columns + 16 * b + 16);
        if (*lo < 0) return;
        widest = std::max(widest, (static_cast<int64_t>(*hi) >> shift) - (static_cast<int64_t>(*lo) >> shift) + 1);
    }
    const int64_t loads = (widest + 15) / 16;
    const int64_t reach = 16 * loads;
    if (loads > kMaxShuffleLoads || rowWidth < reach) return;

    loads_ = static_cast<int>(loads);
    starts_.resize(blocks);
    masks_.assign(blocks * static_cast<size_t>(reach), uint8_t{0x80});  // 0x80 picks zero
    for (size_t b = 0; b < blocks; ++b) {
        const int64_t first = *std::min_element(columns + 16 * b, columns + 16 * b + 16) >> shift;
        const int64_t start = std::min(first, rowWidth - reach);
        starts_[b] = static_cast<uint32_t>(start);
        uint8_t* masks = masks_.data() + b * static_cast<size_t>(reach);
        for (size_t j = 0; j < 16; ++j) {
            const int64_t offset = at(16 * b + j) - start;
            masks[16 * (offset / 16) + j] = static_cast<uint8_t>(offset % 16);
        }
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
