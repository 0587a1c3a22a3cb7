#include "inference/postprocessing/object_counting.h"

namespace qz::vms_server_plugins::analytics::qzai {

EventPtr countObjects(PostprocessingState& /*state*/, const std::shared_ptr<InferenceInput_t>& /*request*/,
                      const ObjectsByClass& /*objects*/) {
    return {};
}

}  // namespace qz::vms_server_plugins::analytics::qzai
