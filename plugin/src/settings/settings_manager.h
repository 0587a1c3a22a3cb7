// SettingsManager: builds the JSON texts the host shows and declares - the
// engine manifest, the device-agent manifest and the device-agent settings
// model. Stateless static functions, safe from any thread.
//
// The device-agent settings model is rebuilt from its inputs on every call:
// status banners (cloud registration, runtime state, the agent's errors,
// missing cloud parameters or pipelines), the device controls, the engine's
// notices, model problems and download progress, the recovery row, the
// device overview and the per-stage sections (settings/stage_sections.h).
// Item names come from settings/setting_names.h; the device agent reads the
// same names back.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "records/device_agent_settings.h"
#include "records/device_agent_error_type.h"
#include "settings/settings_inputs.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Engine;
class InferenceManager;

class SettingsManager {
public:
    static std::string createEngineManifestString();
    // The event and object types one camera can produce: the built-in events,
    // the events its post-processors declare, its models' classes, "anomaly"
    // with illegal-dumping detection and the objects its post-processors
    // declare. Only post-processors some stage names contribute. The engine
    // overload reads the configured post-processors' declarations.
    static std::string createDeviceAgentManifestString(const DeviceAgentSettings_t& settings,
                                                       const InferenceManager& inferenceManager);
    static std::string createDeviceAgentManifestString(const DeviceAgentSettings_t& settings,
                                                       const ProcessorDeclarationsMap& postprocessors);
    // Gathers the inputs from the engine (default inputs for a null engine)
    // and builds the model from them.
    static std::string createDeviceAgentSettingsModelString(
        const Engine* engine, const std::map<DeviceAgentErrorType, std::string>& errors,
        std::shared_ptr<const DeviceAgentSettings_t> settings);
    // The model as compact JSON; a null snapshot counts as a default one.
    static std::string createDeviceAgentSettingsModelString(
        const SettingsModelInputs& inputs, const std::map<DeviceAgentErrorType, std::string>& errors,
        std::shared_ptr<const DeviceAgentSettings_t> settings);
};

}  // namespace qz::vms_server_plugins::analytics::qzai
