// Dumping detection: watches the objects of one class on an "Illegal
// Dumping" stage and raises "qz.qzai.dumping" when one has stayed in place
// for the stage's time threshold. Boxes where objects legitimately sit are
// learned per device by reference runs and kept across restarts in
// "<root>/cache/dumping_known_bboxes.json".
//
// Locks (see PostprocessingState): detectDumping takes referenceRunLock, then
// dumpingLock, then each watched object's own leaf lock for its attributes.
// The file functions take dumpingFileLock, then dumpingLock only around the
// data, never across file I/O. Everything here is safe to call from any
// output worker at once.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inference/inference_types.h"
#include "inference/postprocessing/dumping_cache_text.h"
#include "inference/postprocessing/postprocessing_result.h"
#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

// The rule for one output of a stage; `objects` are the frame's objects after
// the region masks. Returns the frame's event, or null. A reference run that
// added boxes saves the file before returning (outside the rule's locks).
EventPtr detectDumping(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                       const ObjectsByClass& objects);

// Appends the file's boxes to state.knownBoxes (a box a device already holds
// is not added twice). A missing file is silent; an unusable one is logged
// and loads nothing. A state without a root folder has no file: a warning,
// and nothing is read.
void loadDumpingCache(PostprocessingState& state);
// Writes state.knownBoxes to the file when they changed since the last write;
// the old file stays whole on any failure. A state without a root folder
// writes nothing (a warning), never into the current folder.
void saveDumpingCache(PostprocessingState& state);

}  // namespace qz::vms_server_plugins::analytics::qzai
