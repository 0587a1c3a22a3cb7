// Postprocessing: turns the output TensorSet of one inference into the
// frame's objects by class, the events of the rules and the best shots.
//
// Steps, in order: external tensor post-processor (may replace the set);
// built-in decoding when the model asks for it (replaces the set); tracking
// (process_objects); region masks per class (empty classes dropped);
// throughput; category scores over the current set; line crossing; counting;
// dumping; external objects post-processor (its answer replaces objects and
// events and gives the best shots).
//
// The input's TensorSet may be replaced; the caller keeps ownership of
// whatever input.output holds on return. Called from several output workers
// at once, also for frames of the same device; the state guards itself.
#pragma once

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

PostprocessingResult Postprocessing(PostprocessingState& state, InferenceOutput& input);

}  // namespace qz::vms_server_plugins::analytics::qzai
