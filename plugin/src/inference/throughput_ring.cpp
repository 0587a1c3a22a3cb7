#include "inference/throughput_ring.h"

#include <algorithm>

namespace qz::vms_server_plugins::analytics::qzai {

ThroughputRing::ThroughputRing(int64_t windowLength):
    m_intervalsUs(static_cast<size_t>(windowLength <= 0 ? kDefaultWindow : std::min(windowLength, kMaxWindow)), 0.0) {
}

void ThroughputRing::add(int64_t nowNs) {
    const int64_t previous = m_lastTimeNs;
    m_lastTimeNs = nowNs;
    if (previous == 0) return;
    const double interval = static_cast<double>(nowNs - previous) / 1000.0;
    m_sumUs += interval - m_intervalsUs[m_nextIndex];
    m_intervalsUs[m_nextIndex] = interval;
    m_nextIndex = (m_nextIndex + 1) % m_intervalsUs.size();
    if (m_nextIndex == 0) m_full = true;
}

double ThroughputRing::rate() const {
    const size_t n = m_full ? m_intervalsUs.size() : m_nextIndex;
    if (n == 0) return 0.0;
    const double mean = m_sumUs / static_cast<double>(n);
    if (mean <= 0.0) return 0.0;
    return 1000000.0 / mean;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
