#include "engine/device_agent.h"

#include "qz/sdk/helpers/settings_response.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string DeviceAgent::manifestString() const { return R"({"eventTypes":[],"objectTypes":[]})"; }

qz::sdk::Result<const qz::sdk::ISettingsResponse*> DeviceAgent::settingsReceived() {
    return new qz::sdk::SettingsResponse();
}

bool DeviceAgent::pushUncompressedVideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame*) { return true; }

}  // namespace qz::vms_server_plugins::analytics::qzai
