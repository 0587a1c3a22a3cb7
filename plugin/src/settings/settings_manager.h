// SettingsManager: builds the JSON texts the host shows and declares - the
// engine manifest, the device-agent manifest and the device-agent settings
// model. Stateless static functions, safe from any thread.
//
// The engine manifest is complete. The device-agent manifest declares the
// built-in event types and the object types of the pipeline's model classes.
// The settings model is the smallest valid page (the device switch and the
// device's error texts); the full page comes with the settings-model work.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/records.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Engine;
class InferenceManager;

class SettingsManager {
public:
    static std::string createEngineManifestString();
    static std::string createDeviceAgentManifestString(const DeviceAgentSettings_t& settings,
                                                       const InferenceManager& inferenceManager);
    static std::string createDeviceAgentSettingsModelString(
        const Engine* engine, const std::map<DeviceAgentErrorType, std::string>& errors,
        std::shared_ptr<const DeviceAgentSettings_t> settings);
};

}  // namespace qz::vms_server_plugins::analytics::qzai
