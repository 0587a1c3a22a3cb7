// ClassCounts: the counting rule's recent counts of one class on one device,
// kept in PostprocessingState::countHistory under its countingLock.
#pragma once

#include <cstdint>
#include <deque>

namespace qz::vms_server_plugins::analytics::qzai {

struct ClassCounts {
    std::deque<uint64_t> counts;  // at most 10, oldest first
    int64_t lastPresentUs = 0;    // frame timestamp of the last count

    bool operator==(const ClassCounts&) const = default;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
