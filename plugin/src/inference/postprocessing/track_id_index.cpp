#include "inference/postprocessing/track_id_index.h"

#include <algorithm>
#include <mutex>

namespace qz::vms_server_plugins::analytics::qzai {

TrackIdIndex::TrackIdIndex(const QzAIObjectList& tracks) {
    for (size_t position = 0; position < tracks.size(); ++position) {
        std::lock_guard<std::mutex> lock(tracks[position]->mutex);
        m_positions[tracks[position]->data.trackId].push_back(position);
    }
}

std::optional<size_t> TrackIdIndex::find(const qz::sdk::Uuid& id) const {
    const auto it = m_positions.find(id);
    if (it == m_positions.end() || it->second.empty()) return std::nullopt;
    return it->second.front();
}

void TrackIdIndex::appended(const qz::sdk::Uuid& id, size_t position) {
    // Appended objects come last, so their positions keep the order.
    m_positions[id].push_back(position);
}

void TrackIdIndex::renamed(const qz::sdk::Uuid& from, const qz::sdk::Uuid& to, size_t position) {
    if (from == to) return;
    const auto old = m_positions.find(from);
    if (old != m_positions.end()) {
        std::vector<size_t>& positions = old->second;
        const auto at = std::lower_bound(positions.begin(), positions.end(), position);
        if (at != positions.end() && *at == position) positions.erase(at);
        if (positions.empty()) m_positions.erase(old);
    }
    std::vector<size_t>& positions = m_positions[to];
    positions.insert(std::lower_bound(positions.begin(), positions.end(), position), position);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
