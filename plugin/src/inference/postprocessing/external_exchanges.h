// ExternalExchanges: the two calls through which Postprocessing reaches the
// external post-processors of a stage: the tensor exchange (before built-in
// decoding) and the objects exchange (after the rules).
//
// An empty function means "no answer", which is what a stage without an
// external post-processor gets. The owner of the PostprocessingState installs
// the exchanges once, before any frame is post-processed; they are only read
// afterwards, from any output worker.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

struct ExternalExchanges {
    // Returns a replacement set (owned by the caller), or null for none.
    using TensorsExchange = std::function<TensorSetPtr(
        PostprocessingState&, const std::shared_ptr<InferenceInput_t>&, const TensorSet*)>;
    // Takes copies of the frame's objects and events; returns a result that
    // replaces them, or nothing.
    using ObjectsExchange = std::function<std::optional<PostprocessingResult>(
        PostprocessingState&, const std::shared_ptr<InferenceInput_t>&, ObjectsByClass, EventList,
        const TensorSet*)>;

    TensorsExchange tensors;
    ObjectsExchange objects;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
