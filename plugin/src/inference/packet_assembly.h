// Packet assembly: turns the post-processing result of one inference into
// the host's packets for the camera.
//
// Pure function of its inputs apart from verbose log lines; safe to call
// from several output workers at once (objects are read under their own
// locks through createObjectMetadata).
#pragma once

#include <cstdint>
#include <vector>

#include "records/pipeline_stage.h"
#include "inference/postprocessing/postprocessing_result.h"
#include "qz/sdk/analytics/helpers/event_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_track_best_shot_packet.h"
#include "qz/sdk/ptr.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct OutputPackets {
    qz::sdk::Ptr<qz::sdk::analytics::ObjectMetadataPacket> objects;  // null when no object is shown
    qz::sdk::Ptr<qz::sdk::analytics::EventMetadataPacket> events;    // null when there are no events
    std::vector<qz::sdk::Ptr<qz::sdk::analytics::ObjectTrackBestShotPacket>> bestShots;

    bool empty() const { return !objects && !events && bestShots.empty(); }
};

// Every packet carries `timestampUs` (the frame's) and a duration of 1 us.
// Objects of a class that the stage's visualisation map does not show (absent
// or false) are left out; the object packet is made only for the first shown
// object. Best shots start with the box (-1, -1, -1, -1) and get the
// request's box only when it has one.
OutputPackets assembleOutputPackets(const PostprocessingResult& result, const pipeline_stage_parameters_t& stage,
                                    int64_t timestampUs);

}  // namespace qz::vms_server_plugins::analytics::qzai
