// Frame-level events: the "Performance" event from the measured inference
// rates and the "Category detected" event from a scores tensor.
//
// Until these rules land neither raises an event.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr reportThroughput(PostprocessingState& state, const InferenceOutput& input);
EventPtr processScores(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                       const TensorSet* set);

}  // namespace qz::vms_server_plugins::analytics::qzai
