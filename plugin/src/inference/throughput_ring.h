// Rolling rate of events over the last L intervals between them.
//
// add(now) records an event at a monotonic time in nanoseconds; rate() gives
// events per second from the mean of the recorded intervals (0 until two
// events were seen). A window length of 0 or less falls back to 100, so a
// bad configuration value can neither divide by zero nor allocate without
// bound (lengths above kMaxWindow are cut to it). Not thread-safe: the owner
// guards each ring with its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

class ThroughputRing {
public:
    static constexpr int64_t kDefaultWindow = 100;
    static constexpr int64_t kMaxWindow = 100000;

    explicit ThroughputRing(int64_t windowLength = kDefaultWindow);

    void add(int64_t nowNs);
    double rate() const;
    size_t windowLength() const { return m_intervalsUs.size(); }

private:
    int64_t m_lastTimeNs = 0;
    std::vector<double> m_intervalsUs;
    size_t m_nextIndex = 0;
    bool m_full = false;
    double m_sumUs = 0.0;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
