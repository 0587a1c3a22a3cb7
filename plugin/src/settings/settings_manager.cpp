#include "settings/settings_manager.h"

#include <set>

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "common/log.h"
#include "common/object_type_id.h"
#include "settings/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

using nlohmann::ordered_json;

std::string SettingsManager::createEngineManifestString() {
    ordered_json manifest;
    manifest["capabilities"] = "needUncompressedVideoFrames_yuv420";
    manifest["preferredStream"] = "secondary";
    ordered_json banner;
    banner["type"] = "Banner";
    banner["icon"] = "info";
    banner["text"] = "Enable the plugin and press Apply to start working with the plugin.";
    ordered_json model;
    model["type"] = "Settings";
    model["items"] = ordered_json::array({banner});
    manifest["deviceAgentSettingsModel"] = model;
    const std::string text = jsonDocToString(std::move(manifest));
    logMessage("Engine manifest string: %s\n", text.c_str());
    return text;
}

std::string SettingsManager::createDeviceAgentManifestString(const DeviceAgentSettings_t& settings,
                                                             const InferenceManager&) {
    static const std::pair<const char*, const char*> kEvents[] = {
        {event_types::kFps, "Frames per second"},          {event_types::kCounted, "Objects counted"},
        {event_types::kLoiterAlarm, "Loiterer detected"},  {event_types::kCategory, "Category detected"},
        {event_types::kLineCrossing, "Line crossing detected"}, {event_types::kDumping, "Illegal dumping detected"},
    };
    ordered_json eventTypes = ordered_json::array(), objectTypes = ordered_json::array();
    ordered_json supported = ordered_json::array();
    auto addSupported = [&](const char* key, const std::string& id) {
        ordered_json entry;
        entry[key] = id;
        entry["attributes"] = ordered_json::array();
        supported.push_back(std::move(entry));
    };
    for (const auto& [id, name] : kEvents) {
        eventTypes.push_back(ordered_json{{"id", id}, {"name", name}});
        addSupported("eventTypeId", id);
    }
    std::set<std::string> accepted;
    for (const auto& [modelId, model] : collectPipelineModels(settings.stages)) {
        for (const auto& className : model->classNames) {
            const std::string id = toObjectTypeId(className);
            if (!accepted.insert(id).second) continue;
            if (!isBaseObjectTypeId(id)) objectTypes.push_back(ordered_json{{"id", id}, {"name", className}});
            addSupported("objectTypeId", id);
        }
    }
    ordered_json manifest;
    manifest["typeLibrary"]["eventTypes"] = std::move(eventTypes);
    manifest["typeLibrary"]["objectTypes"] = std::move(objectTypes);
    manifest["supportedTypes"] = std::move(supported);
    const std::string text = jsonDocToString(std::move(manifest));
    logInfo("Device Agent Manifest: %s\n", text.c_str());
    return text;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
