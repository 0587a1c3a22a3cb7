// DumpingCandidate: one watched object of the dumping rule, kept per device
// and track id in PostprocessingState::dumpingCandidates (DumpingCandidates).
#pragma once

#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

struct DumpingCandidate {
    int64_t stationarySinceUs = 0;  // frame timestamp since which it has not moved
    int64_t firstSeenUs = 0;        // frame timestamp of the candidate's creation
    float cx = 0.0f;                // box centre when it last moved
    float cy = 0.0f;
    int64_t lastAlertUs = 0;        // frame timestamp of its last alert, 0 before the first
    int64_t lastSeenUs = 0;         // frame timestamp the rule last saw it (for pruning)
};

}  // namespace qz::vms_server_plugins::analytics::qzai
