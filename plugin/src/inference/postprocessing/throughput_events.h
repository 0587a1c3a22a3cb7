// Frame-level events: the "Performance" event from the measured inference
// rates and the "Category detected" event from a scores tensor.
//
// reportThroughput makes an event for every output that carries rates and
// writes the engine's rates to the log at most once a second across all
// devices (the state's lastThroughputLogNs, advanced by compare-exchange, so
// concurrent workers never both log). Rates are written as integers truncated
// toward zero; NaN counts as 0 and values beyond 64 bits saturate.
//
// processScores reads the first tensor whose name starts with "scores-" as
// float32 scores, one per class, and names the best class (the first of
// equal scores; NaN scores never win).
//
// Both are safe to call from several output workers at once.
#pragma once

#include <memory>
#include <string>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr reportThroughput(PostprocessingState& state, const InferenceOutput& input);
EventPtr processScores(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                       const TensorSet* set);

// A rate as a decimal integer: truncated toward zero, NaN as 0, saturating
// at the limits of a signed 64-bit integer.
std::string rateText(double rate);

}  // namespace qz::vms_server_plugins::analytics::qzai
