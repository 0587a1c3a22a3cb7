// The only settings-model code that reads a live engine: it copies what the
// builders need into SettingsModelInputs, and the engine overload of the
// settings-model builder gathers them and hands them on.
#include "settings/settings_inputs.h"

#include "common/ini.h"
#include "engine/engine.h"
#include "external/processor_config.h"
#include "settings/settings_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

ProcessorDeclarations declarationsOf(const std::string& name, const std::string& userSettings) {
    ProcessorDeclarations declarations;
    declarations.name = name;
    declarations.userSettings = userSettings;
    return declarations;
}

}  // namespace

ProcessorDeclarationsMap gatherPreprocessorDeclarations(const InferenceManager& inference) {
    ProcessorDeclarationsMap out;
    for (const auto& [name, record] : inference.externalPreprocessors())
        out.emplace(name, declarationsOf(name, record->userSettings));
    return out;
}

ProcessorDeclarationsMap gatherPostprocessorDeclarations(const InferenceManager& inference) {
    ProcessorDeclarationsMap out;
    for (const auto& [name, record] : inference.externalPostprocessors()) {
        ProcessorDeclarations declarations = declarationsOf(name, record->userSettings);
        for (const auto& type : record->objectTypes) declarations.objectTypes.push_back({type.id, type.name});
        for (const auto& type : record->eventTypes) declarations.eventTypes.push_back({type.id, type.name});
        out.emplace(name, std::move(declarations));
    }
    return out;
}

RuntimeSnapshot takeRuntimeSnapshot(const RuntimesManager& runtimes) {
    RuntimesManager::Snapshot taken = runtimes.snapshot();
    RuntimeSnapshot snapshot;
    snapshot.state = taken.state;
    snapshot.downloadCancelled = taken.downloadCancelled;
    snapshot.compatibleRuntimes = std::move(taken.compatibleRuntimes);
    snapshot.installedRuntimeName = std::move(taken.installedRuntimeName);
    return snapshot;
}

SettingsModelInputs gatherSettingsModelInputs(const Engine& engine) {
    SettingsModelInputs inputs;
    inputs.cloudState = engine.cloudConnectionState();
    inputs.runtime = takeRuntimeSnapshot(engine.runtimesManager());
    inputs.notices = engine.messagingManager().messages();
    inputs.alwaysShowRecoveryButtons = ini().alwaysShowRecoveryButtons;
    inputs.documentationBase = ini().DocumentationURL;
    inputs.preprocessors = gatherPreprocessorDeclarations(engine.inferenceManager());
    inputs.postprocessors = gatherPostprocessorDeclarations(engine.inferenceManager());
    return inputs;
}

std::string SettingsManager::createDeviceAgentManifestString(const DeviceAgentSettings_t& settings,
                                                             const InferenceManager& inferenceManager) {
    return createDeviceAgentManifestString(settings, gatherPostprocessorDeclarations(inferenceManager));
}

std::string SettingsManager::createDeviceAgentSettingsModelString(
    const Engine* engine, const std::map<DeviceAgentErrorType, std::string>& errors,
    std::shared_ptr<const DeviceAgentSettings_t> settings) {
    const SettingsModelInputs inputs = engine ? gatherSettingsModelInputs(*engine) : SettingsModelInputs{};
    return createDeviceAgentSettingsModelString(inputs, errors, std::move(settings));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
