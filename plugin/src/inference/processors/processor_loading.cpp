#include "inference/processors/processor_loading.h"

#include "external/processor_config.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

void loadExternalPostprocessors(PostprocessingState& state) {
    loadExternalPostprocessors(state.externalPostprocessors, state.rootFolder);
}

void initExternalPostprocessors(PostprocessingState& state) {
    loadExternalPostprocessors(state);
    loadDumpingCache(state);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
