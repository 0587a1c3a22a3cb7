#include "inference/postprocessing/dumping_candidates.h"

#include "inference/postprocessing/time_difference.h"

namespace qz::vms_server_plugins::analytics::qzai {

DumpingCandidate& DumpingCandidates::see(const qz::sdk::Uuid& trackId, bool* created) {
    const auto found = m_index.find(trackId);
    *created = found == m_index.end();
    if (!*created) {
        m_order.splice(m_order.end(), m_order, found->second);
        return found->second->second;
    }
    if (m_index.size() >= m_cap) {
        m_index.erase(m_order.front().first);
        m_order.pop_front();
        ++m_evicted;
    }
    m_order.emplace_back(trackId, DumpingCandidate{});
    m_index.emplace(trackId, std::prev(m_order.end()));
    return m_order.back().second;
}

void DumpingCandidates::dropStale(int64_t nowUs, int64_t retentionUs) {
    while (!m_order.empty() && saturatingTimeDifference(nowUs, m_order.front().second.lastSeenUs) > retentionUs) {
        m_index.erase(m_order.front().first);
        m_order.pop_front();
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
