// The kinds of error a device agent keeps, one text each.
//
// A plain enumeration.
#pragma once

#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

// Key of a device agent's map of error texts (the settings model lists the
// texts only).
enum class DeviceAgentErrorType : int32_t {
    DeviceParameters = 0,  // the device's parameters could not be read
    Pipeline = 1,          // the pipeline could not be parsed
    ModelDownload = 2,     // a model of the pipeline failed to download
};

}  // namespace qz::vms_server_plugins::analytics::qzai
