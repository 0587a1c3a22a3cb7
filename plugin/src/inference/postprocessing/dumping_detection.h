// Dumping detection: watches the objects of one class on an "Illegal
// Dumping" stage, learns known boxes by reference runs and keeps them in
// "dumping_known_bboxes.json" under the root folder's "cache" folder.
//
// Until the rule lands it raises no event and the cache functions do nothing.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr detectDumping(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                       const ObjectsByClass& objects);

// Reads the known boxes file into state.knownBoxes.
void loadDumpingCache(PostprocessingState& state);
// Writes state.knownBoxes to the file.
void saveDumpingCache(PostprocessingState& state);

}  // namespace qz::vms_server_plugins::analytics::qzai
