#include "inference/postprocessing/throughput_events.h"

namespace qz::vms_server_plugins::analytics::qzai {

EventPtr reportThroughput(PostprocessingState& /*state*/, const InferenceOutput& /*input*/) {
    return {};
}

EventPtr processScores(PostprocessingState& /*state*/, const std::shared_ptr<InferenceInput_t>& /*request*/,
                       const TensorSet* /*set*/) {
    return {};
}

}  // namespace qz::vms_server_plugins::analytics::qzai
