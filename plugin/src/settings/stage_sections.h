// The per-stage sections of a camera's settings page: one section per stage
// of the pipeline, nested as the stages are nested, appended to the model's
// root "sections" array (a child's section goes into its parent's
// "sections").
//
// Called once per settings model by the device-agent settings-model builder,
// after the root items are complete. Reads only its arguments; thread-safe.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "records/pipeline_stage.h"
#include "settings/settings_inputs.h"

namespace qz::vms_server_plugins::analytics::qzai {

// What the sections read besides the stages. Refers to values of the calling
// builder, which outlive the call.
struct StageSectionsContext {
    // Nothing blocks the camera (the builder's readiness): the "visible" value
    // of every readiness-driven item of the sections.
    bool ready = false;
    // The value the pipeline choice shows: the selected pipeline, or "Custom"
    // when it is not one of the device's available pipelines.
    const std::string& shownPipeline;
    // The configured external processors, by name.
    const ProcessorDeclarationsMap& preprocessors;
    const ProcessorDeclarationsMap& postprocessors;
};

// The classes a stage can show, in order: the model's classes (id and name
// both the class name), then the object types its resolved post-processor
// declares, without those whose id is empty. Nothing is de-duplicated. The
// class choice of the section, "Select All" and the class filter all use it.
std::vector<TypeDeclaration> stageClassRange(const pipeline_stage_parameters_t& stage,
                                             const ProcessorDeclarationsMap& postprocessors);

void addPipelineStageSections(const std::vector<pipeline_stage_parameters_t>& stages,
                              nlohmann::ordered_json& sections, const StageSectionsContext& context);

}  // namespace qz::vms_server_plugins::analytics::qzai
