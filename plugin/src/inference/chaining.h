// chaining: feeds the child stages of a finished request. Called by the
// output worker after post-processing, for a request whose stage has
// children; for each child in list order, by its chain method:
// - Direct: when every declared named output of the parent model has an
//   equal declared named input in the child model, the child runs on a deep
//   copy of the output set (as left by post-processing), region (0, 0, 1, 1);
//   otherwise "Warning! Couldn't find a match for tensor: %s to chain
//   directly.\n" and the child is skipped.
// - FeatureExtraction: one child request per object of the child's
//   feature-extraction class in result.objects (list order) whose
//   skipFeatureExtraction is unset, cut from the parent's RGB frame with the
//   object's box clipped to the frame; the request carries the object and
//   that box as its region. An object whose input cannot be made (box with
//   nothing inside the frame, no frame, preprocessing refused) gives
//   "Warning: Failed to preprocess input for feature extraction chain\n" and
//   the next object follows.
// - Conditional: when the output set's deciding "Trigger" is set (see
//   chain_tensors.h), the child runs on its own crop box of the parent's
//   frame, with that crop box as its region. When that input cannot be made:
//   "Warning: Failed to preprocess input for conditional chain\n" and the
//   remaining children of this output are not processed.
// - other methods: nothing.
// Child requests copy timestamp, frame, frame size, settings snapshot,
// camera details and callback from the parent; their stage is the child
// inside that same snapshot. They skip the admission of new frames (no input
// permit, no room check): the engine's slots alone bound them, and a refusal
// there frees their input.
//
// Ownership: `parent` and `output` are released when chaining returns, also
// when it throws. Objects are only read, through snapshots.
//
// Threads: runs on output workers, several at once. The caller must keep the
// manager's engine from being replaced meanwhile, as an output worker does
// by holding its output permit.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

class InferenceManager;

void chaining(InferenceManager& manager, std::shared_ptr<InferenceInput_t> parent, TensorSetPtr output,
              const PostprocessingResult& result);

}  // namespace qz::vms_server_plugins::analytics::qzai
