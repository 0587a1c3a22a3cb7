// PostprocessingResult: what Postprocessing hands the output worker for one
// inference: the frame's objects by class name, the events the rules raised
// (in rule order) and the best shots an external post-processor asked for.
#pragma once

#include <vector>

#include "inference/postprocessing/best_shot_request.h"
#include "inference/postprocessing/qzai_object.h"
#include "qz/sdk/analytics/helpers/event_metadata.h"
#include "qz/sdk/ptr.h"

namespace qz::vms_server_plugins::analytics::qzai {

using EventPtr = qz::sdk::Ptr<qz::sdk::analytics::EventMetadata>;
using EventList = std::vector<EventPtr>;

struct PostprocessingResult {
    // Only classes with at least one object, except when an external objects
    // post-processor answered: its answer may name a class with no objects.
    ObjectsByClass objects;
    EventList events;
    std::vector<BestShotRequest> bestShots;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
