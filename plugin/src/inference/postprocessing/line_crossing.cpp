#include "inference/postprocessing/line_crossing.h"

namespace qz::vms_server_plugins::analytics::qzai {

EventPtr detectLineCrossing(PostprocessingState& /*state*/, const std::shared_ptr<InferenceInput_t>& /*request*/,
                            const ObjectsByClass& /*objects*/) {
    return {};
}

}  // namespace qz::vms_server_plugins::analytics::qzai
