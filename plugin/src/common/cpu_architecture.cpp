#include "common/cpu_architecture.h"

namespace qz::vms_server_plugins::analytics::qzai {

const char* architectureName(CpuArchitecture architecture) {
    switch (architecture) {
        case CpuArchitecture::Aarch64: return "aarch64";
        case CpuArchitecture::Aarch64Jetson: return "aarch64-jetson";
        case CpuArchitecture::Aarch64Sbsa: return "aarch64-sbsa";
        case CpuArchitecture::X86_64: return "x86_64";
        case CpuArchitecture::Unknown: break;
    }
    return "UNKNOWN";
}

}  // namespace qz::vms_server_plugins::analytics::qzai
