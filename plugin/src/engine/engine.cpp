#include "engine/engine.h"

#include "engine/device_agent.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string Engine::manifestString() const { return R"({"capabilities":""})"; }

qz::sdk::Result<qz::sdk::analytics::IDeviceAgent*> Engine::doObtainDeviceAgent(
    const qz::sdk::IDeviceInfo* deviceInfo) {
    return new DeviceAgent(this, deviceInfo);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
