// DumpingCandidates: the dumping rule's candidates of one device, by track
// id, kept in the order the rule last saw them (least recently seen first).
//
// Stale candidates are dropped from the least recently seen end, so a frame
// pays only for what it drops, however many candidates a long threshold
// keeps. A candidate refreshed by a late frame moves to the recent end with
// its (unchanged) last-seen time, so it may outlive its retention until the
// ones ahead of it go; the cap bounds the count regardless: a new candidate
// beyond it pushes out the least recently seen one.
//
// Not thread-safe: PostprocessingState::dumpingLock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <utility>

#include "inference/postprocessing/dumping_candidate.h"
#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {

class DumpingCandidates {
public:
    static constexpr size_t kDefaultCap = 10000;

    explicit DumpingCandidates(size_t cap = kDefaultCap) : m_cap(cap == 0 ? 1 : cap) {}

    // The candidate of `trackId`, moved to the recently seen end; a new one
    // (fields at their defaults, *created set) when there is none.
    DumpingCandidate& see(const qz::sdk::Uuid& trackId, bool* created);

    // Drops candidates from the least recently seen end while their last
    // sighting lies more than `retentionUs` before `nowUs`.
    void dropStale(int64_t nowUs, int64_t retentionUs);

    size_t size() const { return m_index.size(); }
    size_t count(const qz::sdk::Uuid& trackId) const { return m_index.count(trackId); }
    // How many candidates the cap has pushed out so far.
    uint64_t evicted() const { return m_evicted; }

private:
    using Order = std::list<std::pair<qz::sdk::Uuid, DumpingCandidate>>;

    size_t m_cap;
    Order m_order;  // least recently seen first
    std::unordered_map<qz::sdk::Uuid, Order::iterator> m_index;
    uint64_t m_evicted = 0;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
