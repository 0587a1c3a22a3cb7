// LineCrossingTrack: the last sighting of one track, kept per device by the
// line-crossing rule in PostprocessingState::lineTracks.
#pragma once

#include <cstdint>

#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct LineCrossingTrack {
    qz::sdk::Uuid trackId;
    float cx = 0.0f;              // box centre at the last sighting
    float cy = 0.0f;
    float segmentProduct = 0.0f;  // negative: the centre projects between the end points
    float side = 0.0f;            // side of the line at the last sighting
    int64_t lastSeenUs = 0;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
