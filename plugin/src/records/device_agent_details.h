// One camera's identity as the host gives it to its device agent.
//
// Plain data, copied by value.
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

struct DeviceAgentDetails_t {
    std::string deviceId;
    std::string deviceName;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
