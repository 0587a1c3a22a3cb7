// The cloud connection: whether this system has a cloud token (through the
// utility provider), the available pipelines of each device, and device
// resets. The base address is the configuration text `CloudServiceURL`;
// requests carry "User-Agent: QZAI-Plugin/<version>" and
// "Authorization: <cloud token>" (docs/formats.md).
//
// `state` is written by the runtime-manager loop and read from any thread.
// The request functions are thread-safe and block their caller for at most
// `HTTPRequestTimeout` per stall; they give up promptly when the cancel flag
// handed to them is set.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "records/device_agent_settings.h"
#include "records/cloud_connection_state.h"
#include "qz/sdk/helpers/utility_provider.h"

namespace qz::vms_server_plugins::analytics::qzai {

class RegistrationManager {
public:
    std::atomic<CloudConnectionState> state{CloudConnectionState::Unset};

    RegistrationManager(qz::sdk::UtilityProvider provider, std::string baseUrl);

    // Reads the cloud token and sets `state` (2 without a token, 5 with one).
    // True on the call where the token is first obtained.
    bool checkCloudConnection();
    bool tokenObtained() const { return state.load() == CloudConnectionState::TokenObtained; }

    std::string cloudSystemId() const { return m_provider.cloudSystemId(); }

    // The device's pipelines from the cloud; empty on any failure (logged).
    std::optional<std::vector<AvailablePipeline_t>> fetchAvailablePipelines(const std::string& deviceId,
                                                                            const std::atomic<bool>* cancel) const;
    // Resets the device's pipelines in the cloud.
    bool resetDevice(const std::string& deviceId, const std::atomic<bool>* cancel) const;

    static std::string userAgent();

private:
    qz::sdk::UtilityProvider m_provider;
    std::string m_baseUrl;
};

// The cloud's list of pipelines ([{"name", "uuid", "parameters"}]); entries
// without a uuid are skipped. Empty when the text is not a JSON array.
std::optional<std::vector<AvailablePipeline_t>> parseAvailablePipelines(const std::string& text);

}  // namespace qz::vms_server_plugins::analytics::qzai
