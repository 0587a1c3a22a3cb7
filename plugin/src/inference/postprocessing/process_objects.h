// process_objects: decodes the detection tensor of one inference output into
// frame boxes and matches them, class by class, against the objects the
// device already tracks, so that one physical object keeps one track id.
//
// Returns, per class name, the matched objects that are stable enough to
// report (classes without such objects are absent). Thread-safe: frames of
// one device are serialised by the device mutex (taken after the state's
// tracker lock is released); frames of different devices run in parallel.
// Frames of one device may arrive out of order: an object's lastSeenUs then
// moves back to the late frame's time and ages may be negative (counted as
// 1 ms); nothing overflows.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/qzai_object.h"

namespace qz::vms_server_plugins::analytics::qzai {

// `preparation`: the model preparation the caller took for this output;
// null takes the model's current one.
ObjectsByClass process_objects(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                               const TensorSet* set, const ModelPreparation* preparation = nullptr);

}  // namespace qz::vms_server_plugins::analytics::qzai
