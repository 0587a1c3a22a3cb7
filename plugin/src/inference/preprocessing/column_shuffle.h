// ColumnShuffle: picks the bytes of a row's mapped columns sixteen at a time
// with byte shuffles, instead of one load per pixel. The column map is the
// same for every row of a pass, so the shuffle masks are worked out once:
// for each block of sixteen target pixels, a start byte in the row and
// `loads()` masks, one per 16-byte load from that start. A block's bytes
// are the OR of the shuffled loads.
//
// Every load stays inside the row's `rowWidth` bytes: a block whose loads
// would pass the end of the row starts earlier instead. A map whose blocks
// span more than kMaxShuffleLoads loads (strong downscaling), or a row too
// short for one block's loads, gets no table (loads() == 0): callers keep
// their other path for it. Pixels past the last whole block are left to
// the caller.
//
// A table is a plain value built per pass; reading it is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "inference/preprocessing/rgb_writer.h"

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr int kMaxShuffleLoads = 8;

class ColumnShuffle {
public:
    ColumnShuffle() = default;

    // Byte i of the picked sequence is row[columns[i] >> shift], for the n
    // entries of `columns` (ascending, each below rowWidth << shift).
    ColumnShuffle(const int32_t* columns, size_t n, unsigned shift, int32_t rowWidth);

    int loads() const { return loads_; }
    size_t blocks() const { return starts_.size(); }
    // Per block: the first byte it loads, then its loads() masks of 16 bytes.
    const uint32_t* starts() const { return starts_.data(); }
    const uint8_t* masks() const { return masks_.data(); }

private:
    int loads_ = 0;
    std::vector<uint32_t> starts_;
    std::vector<uint8_t> masks_;
};

#if defined(QZAI_PREP_AVX2)
// The sixteen bytes of a block of a row: `from` is the row plus the
// block's start, `masks` its masks, `loads` the table's loads().
QZAI_TARGET_AVX2 inline __m128i pickColumns(const uint8_t* from, const uint8_t* masks, int loads) {
    const auto* mask = reinterpret_cast<const __m128i*>(masks);
    __m128i picked = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)),
                                      _mm_loadu_si128(mask));
    for (int k = 1; k < loads; ++k) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16 * k));
        picked = _mm_or_si128(picked, _mm_shuffle_epi8(bytes, _mm_loadu_si128(mask + k)));
    }
    return picked;
}
#endif

}  // namespace qz::vms_server_plugins::analytics::qzai
