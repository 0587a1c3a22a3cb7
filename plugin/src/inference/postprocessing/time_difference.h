// Differences of frame timestamps. Timestamps come from outside and frames of
// one camera may be post-processed out of order, so a difference saturates
// at the limits of int64_t instead of wrapping.
#pragma once

#include <cstdint>
#include <limits>

namespace qz::vms_server_plugins::analytics::qzai {

inline int64_t saturatingTimeDifference(int64_t a, int64_t b) {
    int64_t result = 0;
    if (__builtin_sub_overflow(a, b, &result))
        return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
