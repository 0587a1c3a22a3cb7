// Where the engine stands with the cloud: token check, registration, token.
//
// A plain enumeration; the engine keeps it in an atomic.
#pragma once

#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

enum class CloudConnectionState : int32_t {
    Unset = 0,
    Checking = 1,
    NoCloudToken = 2,
    BeingRegistered = 3,
    RegistrationFailed = 4,
    TokenObtained = 5,
};

}  // namespace qz::vms_server_plugins::analytics::qzai
