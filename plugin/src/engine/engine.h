// qzai::Engine: the plug-in's engine; hands out one device agent per camera.
// Placeholder until the engine proper lands.
#pragma once

#include <string>

#include "qz/sdk/analytics/helpers/engine.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Plugin;

class Engine final : public qz::sdk::analytics::Engine {
public:
    // The plug-in outlives its engine (the host releases the engine first).
    explicit Engine(Plugin* plugin) : m_plugin(plugin) {}
    Plugin* plugin() const { return m_plugin; }

protected:
    std::string manifestString() const override;
    qz::sdk::Result<qz::sdk::analytics::IDeviceAgent*> doObtainDeviceAgent(
        const qz::sdk::IDeviceInfo* deviceInfo) override;

private:
    Plugin* const m_plugin;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
