#include "settings/stage_sections.h"

namespace qz::vms_server_plugins::analytics::qzai {

void addPipelineStageSections(const std::vector<pipeline_stage_parameters_t>&, nlohmann::ordered_json&,
                              const StageSectionsContext&) {
    // No per-stage items yet: the page shows the device-wide items only.
}

}  // namespace qz::vms_server_plugins::analytics::qzai
