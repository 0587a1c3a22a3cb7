#include "settings/settings_manager.h"

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "common/log.h"

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

}  // namespace qz::vms_server_plugins::analytics::qzai
