#include "inference/postprocessing/dumping_detection.h"

namespace qz::vms_server_plugins::analytics::qzai {

EventPtr detectDumping(PostprocessingState& /*state*/, const std::shared_ptr<InferenceInput_t>& /*request*/,
                       const ObjectsByClass& /*objects*/) {
    return {};
}

void loadDumpingCache(PostprocessingState& /*state*/) {}

void saveDumpingCache(PostprocessingState& /*state*/) {}

}  // namespace qz::vms_server_plugins::analytics::qzai
