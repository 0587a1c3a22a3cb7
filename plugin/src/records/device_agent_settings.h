// A camera's settings snapshot: activity, the cloud's pipelines, the selected
// pipeline and its stages.
//
// Immutable once published (replaced whole through an atomic shared_ptr), so
// it is read without locks.
#pragma once

#include <string>
#include <vector>

#include "records/pipeline_stage.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct AvailablePipeline_t {
    std::string parameters;  // the pipeline's parameters text
    std::string name;
    std::string uuid;
};

struct DeviceAgentSettings_t {
    bool deviceActive = false;
    std::string deviceAdminAddress;
    bool cloudParametersReceived = false;
    std::vector<AvailablePipeline_t> availablePipelines;
    std::string selectedPipeline = "Custom";
    std::vector<pipeline_stage_parameters_t> stages;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
