// SettingsModelInputs: everything the device-agent settings model reads
// besides the agent's error map and settings snapshot, as plain values. The
// builders (settings_manager.cpp, pipeline_description.cpp, stage_sections.cpp)
// read only this struct, so they link and test without an engine;
// gatherSettingsModelInputs (engine/settings_inputs.cpp) is the only code that reads
// it from a live engine.
//
// Plain data; a filled struct is owned by one call and never shared.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/messaging_manager.h"
#include "records/cloud_connection_state.h"
#include "runtimes/runtimes_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Engine;
class InferenceManager;

// One object or event type an external processor declares: its id and name.
struct TypeDeclaration {
    std::string id;
    std::string name;

    bool operator==(const TypeDeclaration&) const = default;
};

// What the settings pages read of one configured external processor.
struct ProcessorDeclarations {
    std::string name;
    std::string userSettings;  // its "UserSettings" array as compact JSON; empty when none
    std::vector<TypeDeclaration> objectTypes;
    std::vector<TypeDeclaration> eventTypes;
};

// Processor name -> declarations; a stage's processor counts as resolved when
// its node's processor name is a key here.
using ProcessorDeclarationsMap = std::map<std::string, ProcessorDeclarations>;

// The runtimes manager's state as one consistent read.
struct RuntimeSnapshot {
    RuntimeState state = RuntimeState::Detecting;
    std::vector<std::string> compatibleRuntimes;
    bool downloadCancelled = false;
    std::string installedRuntimeName;  // empty when none is installed
};

struct SettingsModelInputs {
    CloudConnectionState cloudState = CloudConnectionState::Unset;
    RuntimeSnapshot runtime;
    std::map<std::string, MessagingManager::Message> notices;  // by id, ascending
    bool alwaysShowRecoveryButtons = false;
    std::string documentationBase;  // configuration "DocumentationURL"
    ProcessorDeclarationsMap preprocessors;
    ProcessorDeclarationsMap postprocessors;
};

// Reads the runtimes manager's fields; takes its mutex for the list and the
// installed name.
RuntimeSnapshot takeRuntimeSnapshot(const RuntimesManager& runtimes);

// The declarations of the configured external processors, by name.
ProcessorDeclarationsMap gatherPreprocessorDeclarations(const InferenceManager& inference);
ProcessorDeclarationsMap gatherPostprocessorDeclarations(const InferenceManager& inference);

// Reads the inputs from the engine: cloud state, runtime snapshot, notices,
// configuration and the two processor maps. Safe from any host thread while
// the engine's loop runs.
SettingsModelInputs gatherSettingsModelInputs(const Engine& engine);

}  // namespace qz::vms_server_plugins::analytics::qzai
