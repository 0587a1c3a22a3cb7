// Named states of a camera's settings page as plain builder inputs: the
// engine-side inputs, the agent's error map and a settings snapshot. Each
// state's model "items" are compared with tests/settings/golden/items/<name>.json.
//
// Header-only so that tests/engine can build the same states through a real
// engine and compare the two models.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "records/device_agent_settings.h"
#include "records/device_agent_error_type.h"
#include "records/cloud_connection_state.h"
#include "settings/settings_inputs.h"

namespace qz::settings_test {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

struct SettingsState {
    std::string name;  // golden file name without ".json"
    qzai::SettingsModelInputs inputs;
    std::map<qzai::DeviceAgentErrorType, std::string> errors;
    std::shared_ptr<const qzai::DeviceAgentSettings_t> snapshot;
    // Models of the snapshot by id, for tests that change their state.
    qzai::ModelMap models;
};

inline std::shared_ptr<qzai::ModelDetails_t> makeModel(const std::string& id, const std::string& name,
                                                      std::vector<std::string> classes) {
    auto model = std::make_shared<qzai::ModelDetails_t>();
    model->id = id;
    model->name = name;
    model->classNames = std::move(classes);
    model->downloadState = qzai::ModelDownloadState::Ready;
    return model;
}

inline qzai::pipeline_stage_parameters_t makeStage(const std::string& key,
                                                   std::shared_ptr<qzai::ModelDetails_t> model) {
    qzai::pipeline_stage_parameters_t stage;
    stage.key = key;
    for (const auto& name : model->classNames) stage.classVisualisation[name] = true;
    stage.model = std::move(model);
    return stage;
}

// The two-stage pipeline: root "m1" (Detector: person, car; fit) with a
// FeatureExtraction child "m2" (Classifier on "person"; Crop; post-processor
// "Attributes").
inline std::vector<qzai::pipeline_stage_parameters_t> twoStagePipeline(const qzai::ModelMap& models) {
    auto root = makeStage("m1", models.at("m1"));
    root.resizingMethod = qzai::ResizingMethod::Fit;
    auto child = makeStage("m1m2", models.at("m2"));
    child.chainMethod = qzai::ChainMethod::FeatureExtraction;
    child.featureExtractionClass = "person";
    child.resizingMethod = qzai::ResizingMethod::Crop;
    child.postprocessorName = "Attributes";
    child.needsFrame = true;
    root.needsFrame = true;
    root.children.push_back(std::move(child));
    return {std::move(root)};
}

inline qzai::ModelMap twoStageModels() {
    return {{"m1", makeModel("m1", "Detector", {"person", "car"})}, {"m2", makeModel("m2", "Classifier", {})}};
}

// A state on the two-stage pipeline: cloud token obtained, runtime Ready with
// "Generic CPU" installed, parameters received, pipeline "p1" (People) offered
// and selected; callers change what their state is about.
inline SettingsState baseState(const std::string& name) {
    SettingsState state;
    state.name = name;
    state.inputs.cloudState = qzai::CloudConnectionState::TokenObtained;
    state.inputs.runtime.state = qzai::RuntimeState::Ready;
    state.inputs.runtime.installedRuntimeName = "Generic CPU";
    state.inputs.documentationBase = "https://docs.example.test";
    state.models = twoStageModels();
    return state;
}

inline std::shared_ptr<qzai::DeviceAgentSettings_t> baseSnapshot(const qzai::ModelMap& models) {
    auto snapshot = std::make_shared<qzai::DeviceAgentSettings_t>();
    snapshot->cloudParametersReceived = true;
    snapshot->availablePipelines = {{"{}", "People", "p1"}};
    snapshot->selectedPipeline = "p1";
    snapshot->stages = twoStagePipeline(models);
    return snapshot;
}

inline qzai::MessagingManager::Message notice(qzai::MessagingManager::MessageType type, std::string text) {
    return {type, std::move(text)};
}

inline std::vector<SettingsState> settingsStates() {
    using Type = qzai::MessagingManager::MessageType;
    std::vector<SettingsState> states;

    {
        auto s = baseState("cloud_unset");
        s.inputs.cloudState = qzai::CloudConnectionState::Unset;
        s.inputs.notices["AAA_INFO"] = notice(Type::Info, "Something to know.");
        s.inputs.notices["MISSING_LIBGOMP_ERROR"] = notice(Type::Warning, "libgomp is missing.");
        s.models.at("m1")->downloadState = qzai::ModelDownloadState::Downloading;
        s.models.at("m1")->downloadProgress = 25;
        s.snapshot = baseSnapshot(s.models);
        states.push_back(std::move(s));
    }
    {
        auto s = baseState("no_runtime");
        s.inputs.runtime.state = qzai::RuntimeState::NoCompatibleRuntime;
        s.inputs.runtime.installedRuntimeName = "";
        s.snapshot = baseSnapshot(s.models);
        states.push_back(std::move(s));
    }
    {
        auto s = baseState("installing");
        s.inputs.runtime.state = qzai::RuntimeState::Installing;
        s.inputs.runtime.installedRuntimeName = "";
        s.inputs.notices["RUNTIME_PACKAGE"] =
            notice(Type::Info, "Downloading runtime package (10%)\nPress 'Refresh' to see updated progress.");
        s.snapshot = baseSnapshot(s.models);
        states.push_back(std::move(s));
    }
    {
        auto s = baseState("awaiting_selection");
        s.inputs.runtime.state = qzai::RuntimeState::AwaitingSelection;
        s.inputs.runtime.installedRuntimeName = "";
        s.inputs.runtime.compatibleRuntimes = {"Generic CPU", "Intel"};
        s.snapshot = baseSnapshot(s.models);
        states.push_back(std::move(s));
    }
    {
        auto s = baseState("install_failed_cancelled");
        s.inputs.runtime.state = qzai::RuntimeState::InstallFailed;
        s.inputs.runtime.downloadCancelled = true;
        s.inputs.runtime.installedRuntimeName = "";
        s.snapshot = baseSnapshot(s.models);
        states.push_back(std::move(s));
    }
    {
        auto s = baseState("ready_with_problems");
        s.errors[qzai::DeviceAgentErrorType::Pipeline] = "The pipeline has 1 node(s) without an assigned model";
        s.inputs.notices["RUNTIME_DOWNLOAD_CORRUPTED"] = notice(Type::Warning, "The runtime download is corrupted.");
        auto& m1 = *s.models.at("m1");
        m1.downloadState = qzai::ModelDownloadState::Failed;
        m1.addError("Decryption failed");
        m1.addError("Model file missing");
        s.models.at("m2")->downloadState = qzai::ModelDownloadState::Downloading;
        s.models.at("m2")->downloadProgress = 40;
        auto snapshot = baseSnapshot(s.models);
        snapshot->selectedPipeline = "Custom";
        s.snapshot = std::move(snapshot);
        states.push_back(std::move(s));
    }
    {
        SettingsState s;
        s.name = "worked_ready";
        s.inputs.cloudState = qzai::CloudConnectionState::TokenObtained;
        s.inputs.runtime.state = qzai::RuntimeState::Ready;
        s.inputs.runtime.installedRuntimeName = "Generic CPU";
        s.inputs.documentationBase = "https://docs.example.test";
        s.models = {{"m1", makeModel("m1", "Detector", {"person", "car"})}};
        auto snapshot = std::make_shared<qzai::DeviceAgentSettings_t>();
        snapshot->cloudParametersReceived = true;
        snapshot->availablePipelines = {{"{}", "People", "p1"}};
        snapshot->selectedPipeline = "p1";
        snapshot->stages = {makeStage("m1", s.models.at("m1"))};
        s.snapshot = std::move(snapshot);
        states.push_back(std::move(s));
    }
    return states;
}

// The post-processor of the crop child: one declared object and a nested
// settings group (a repeater template inside a group).
inline qzai::ProcessorDeclarations attributesDeclarations() {
    qzai::ProcessorDeclarations attributes;
    attributes.name = "Attributes";
    attributes.objectTypes = {{"hat", "Hat"}};
    attributes.userSettings =
        R"([{"type":"GroupBox","name":"g","items":[{"type":"TextField","name":"a"},{"type":"Repeater","name":"r",)"
        R"("template":{"type":"GroupBox","name":"t","items":[{"type":"TextField","name":"x"}]}}]}])";
    return attributes;
}

// Ready, on the two-stage pipeline whose child "m2" (Classifier of "person",
// Crop) has classes and the resolved post-processor "Attributes".
inline SettingsState cropChildState(const std::string& name) {
    auto s = baseState(name);
    s.models.at("m2")->classNames = {"helmet", "no_helmet"};
    s.inputs.postprocessors["Attributes"] = attributesDeclarations();
    auto snapshot = baseSnapshot(s.models);
    snapshot->stages[0].children[0].classVisualisation = {{"helmet", true}, {"no_helmet", true}};
    s.snapshot = std::move(snapshot);
    return s;
}

// Ready, offered pipeline; four roots, one per rule and one with a declaring
// post-processor:
// - "m1" People (person, car, person): "LineCrossing", pre-processor "Blur";
// - "m3" Loiter (person): "LoiteringDetection";
// - "m4" Dumping (object, bag): "Illegal Dumping", Conditional child "m5"
//   Gate without classes;
// - "m6" Cars (car): post-processor "Tags" declaring objects and events, and
//   a settings text with a repeated "name" key.
inline SettingsState everyRuleState() {
    auto s = baseState("every_rule");
    s.models = {{"m1", makeModel("m1", "People", {"person", "car", "person"})},
                {"m3", makeModel("m3", "Loiter", {"person"})},
                {"m4", makeModel("m4", "Dumping", {"object", "bag"})},
                {"m5", makeModel("m5", "Gate", {})},
                {"m6", makeModel("m6", "Cars", {"car"})}};
    qzai::ProcessorDeclarations blur;
    blur.name = "Blur";
    blur.userSettings = R"([{"type":"SpinBox","name":"strength","minValue":1,"maxValue":9,"defaultValue":3}])";
    s.inputs.preprocessors["Blur"] = blur;
    qzai::ProcessorDeclarations tags;
    tags.name = "Tags";
    tags.objectTypes = {{"helmet", "Helmet"}, {"car", "Car PP"}, {"", "Nameless"}};
    tags.eventTypes = {{"qz.qzai.fps", "dup"}, {"tag.event", "Tag Event"}};
    tags.userSettings = R"([{"type":"TextField","name":"label","caption":"Label","name":"ignored"}])";
    s.inputs.postprocessors["Tags"] = tags;

    auto snapshot = baseSnapshot(twoStageModels());
    auto m1 = makeStage("m1", s.models.at("m1"));
    m1.postprocessorName = "LineCrossing";
    m1.preprocessorName = "Blur";
    auto m3 = makeStage("m3", s.models.at("m3"));
    m3.postprocessorName = "LoiteringDetection";
    auto m4 = makeStage("m4", s.models.at("m4"));
    m4.postprocessorName = "Illegal Dumping";
    m4.dumpingEnabled = true;
    auto m5 = makeStage("m4m5", s.models.at("m5"));
    m5.chainMethod = qzai::ChainMethod::Conditional;
    m4.children.push_back(std::move(m5));
    auto m6 = makeStage("m6", s.models.at("m6"));
    m6.postprocessorName = "Tags";
    snapshot->stages = {std::move(m1), std::move(m3), std::move(m4), std::move(m6)};
    s.snapshot = std::move(snapshot);
    return s;
}

// The states whose whole document is compared with
// tests/settings/golden/model/<name>.json.
inline std::vector<SettingsState> sectionStates() {
    std::vector<SettingsState> states;
    for (auto& s : settingsStates()) {
        if (s.name == "no_runtime" || s.name == "installing") {
            s.name = "sections_" + s.name;
            s.models.at("m2")->classNames = {"helmet", "no_helmet"};
            s.inputs.postprocessors["Attributes"] = attributesDeclarations();
            states.push_back(std::move(s));
        }
    }
    states.push_back(cropChildState("crop_child"));
    states.push_back(everyRuleState());
    return states;
}

}  // namespace qz::settings_test
