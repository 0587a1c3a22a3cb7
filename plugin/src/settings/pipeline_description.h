// The plain-text overview of a camera's pipeline shown in the "Device
// Overview" banner: per stage, how it is linked to its parent, its model and
// its pre- and post-processor, children indented by four blanks per level.
//
// Plain function over its arguments; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "records/pipeline_stage.h"
#include "settings/settings_inputs.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Appends the description of `stages` (and their children, depth first) at
// `depth` to `text`; never clears it. A stage's processor line names the
// configured processor when the node's processor name is a key of the map,
// else the node's name when it is not empty.
void appendPipelineDescription(const std::vector<pipeline_stage_parameters_t>& stages, std::string& text,
                               uint32_t depth, const ProcessorDeclarationsMap& preprocessors,
                               const ProcessorDeclarationsMap& postprocessors);

}  // namespace qz::vms_server_plugins::analytics::qzai
