// The exchanges with a stage's external post-processor, once per inference.
//
// TensorsPostprocessor hands a tensor post-processor the model's raw outputs
// and takes back a replacement set. ObjectsPostprocessor hands an objects
// post-processor the frame's objects and events, and applies its answer
// (updated or new objects, attributes, events, best shots) to the device's
// tracked objects in the PostprocessingState.
//
// The messages of the objects exchange are in objects_messages.h.
//
// Every failure (no processor, another schedule, exited process, nothing to
// send, send failure, time-out, response never delivered, unreadable answer)
// gives nothing and leaves the caller's data as it was. A time-out gives up
// only the exchange's own waiter; its late answer is dropped, never taken for
// that of another request of the same frame (response_waiters.h).
//
// Thread-safety: every function may run on any output worker at once; per
// processor they share its process (sends are serialised inside it) and its
// waiters (own mutex), whose receive thread fulfils the answers.
#pragma once

#include <cstdint>
#include <optional>

#include "inference/processors/objects_messages.h"
#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

std::optional<PostprocessingResult> ObjectsPostprocessor(PostprocessingState& state,
                                                         const std::shared_ptr<InferenceInput_t>& request,
                                                         ObjectsByClass objects, EventList events,
                                                         const TensorSet* output);

// A replacement set owned by the caller, or null.
TensorSetPtr TensorsPostprocessor(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                                  const TensorSet* output);

// Installs both exchanges into the state's ExternalExchanges.
void installPostprocessorExchanges(PostprocessingState& state);

}  // namespace qz::vms_server_plugins::analytics::qzai
