// Object counting: the number of objects per class a camera sees, smoothed
// over the last ten frames in which the class appeared (the most frequent
// count; among equally frequent counts the one met first from the oldest),
// reported as "\n<class>: <count>\n..." for every class whose count is not 0.
//
// A frame without objects touches nothing; a class absent from a frame keeps
// its history for the tracker's match gap (PostprocessingState::
// maxMatchAgeUs of frame time) after the newest frame it was in, and is
// forgotten after it, so class names that keep changing do not pile up; a
// late frame forgets nothing newer frames counted. Histories are kept per device and class under the state's
// countingLock, held for the whole rule. Objects are not read beyond their
// number.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr countObjects(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                      const ObjectsByClass& objects);

}  // namespace qz::vms_server_plugins::analytics::qzai
