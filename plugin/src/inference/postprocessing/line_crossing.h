// Line crossing: counts per device the tracked objects that crossed the
// stage's line and reports the running totals.
//
// Until the rule lands it raises no event.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr detectLineCrossing(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                            const ObjectsByClass& objects);

}  // namespace qz::vms_server_plugins::analytics::qzai
