// qzai::DeviceAgent: one camera's agent; consumes its frames.
// Placeholder until the engine proper lands: accepts every frame and answers
// settings with an empty response.
#pragma once

#include <string>

#include "qz/sdk/analytics/helpers/consuming_device_agent.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Engine;

class DeviceAgent final : public qz::sdk::analytics::ConsumingDeviceAgent {
public:
    DeviceAgent(Engine* engine, const qz::sdk::IDeviceInfo* deviceInfo)
        : ConsumingDeviceAgent(deviceInfo), m_engine(engine) {}

protected:
    std::string manifestString() const override;
    qz::sdk::Result<const qz::sdk::ISettingsResponse*> settingsReceived() override;
    bool pushUncompressedVideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* videoFrame) override;

private:
    [[maybe_unused]] Engine* const m_engine;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
