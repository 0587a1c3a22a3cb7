#include "records/pipeline_stage.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

void flattenInto(const std::vector<pipeline_stage_parameters_t>& stages,
                 std::vector<const pipeline_stage_parameters_t*>& out) {
    for (const auto& stage : stages) {
        out.push_back(&stage);
        flattenInto(stage.children, out);
    }
}

}  // namespace

std::vector<const pipeline_stage_parameters_t*> flattenPipelineStages(
    const std::vector<pipeline_stage_parameters_t>& stages) {
    std::vector<const pipeline_stage_parameters_t*> out;
    flattenInto(stages, out);
    return out;
}

ModelMap collectPipelineModels(const std::vector<pipeline_stage_parameters_t>& stages) {
    ModelMap models;
    for (const auto* stage : flattenPipelineStages(stages)) {
        if (stage->model) models.emplace(stage->model->id, stage->model);
    }
    return models;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
