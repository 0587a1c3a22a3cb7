// Object counting: the number of objects per class a camera sees, smoothed
// over the last ten frames in which the class appeared.
//
// Until the rule lands it raises no event.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr countObjects(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                      const ObjectsByClass& objects);

}  // namespace qz::vms_server_plugins::analytics::qzai
