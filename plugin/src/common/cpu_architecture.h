// The processor architecture as used in runtime package paths, model mime
// types and log lines.
#pragma once

#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

enum class CpuArchitecture : uint32_t {
    Unknown = 0,
    Aarch64 = 1,
    Aarch64Jetson = 2,
    Aarch64Sbsa = 3,
    X86_64 = 4,
};

// "UNKNOWN", "aarch64", "aarch64-jetson", "aarch64-sbsa", "x86_64"; any other
// value gives "UNKNOWN". The text is static.
const char* architectureName(CpuArchitecture architecture);

}  // namespace qz::vms_server_plugins::analytics::qzai
