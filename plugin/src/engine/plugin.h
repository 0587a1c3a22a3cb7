// qzai::Plugin: the plug-in object createQzPlugin returns (the integration).
//
// Gives the host the integration manifest and one engine. Placeholder until
// the engine proper lands: the engine it creates is minimal.
#pragma once

#include <string>

#include "qz/sdk/analytics/helpers/integration.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Plugin final : public qz::sdk::analytics::Integration {
protected:
    std::string manifestString() const override;
    qz::sdk::Result<qz::sdk::analytics::IEngine*> doObtainEngine() override;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
