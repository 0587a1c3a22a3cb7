#include "runtimes/machine_info.h"

#include <charconv>

namespace qz::vms_server_plugins::analytics::qzai {

MachineInfo::MachineInfo(const PlatformServices& services)
    : m_osName(services.osName),
      m_osVersion(osVersionFromRelease(readKernelRelease(services.systemRoot).value_or(""))),
      m_cpuArchitecture(architectureFromMachineName(readMachineName(services.systemRoot).value_or(""))) {}

std::string osVersionFromRelease(std::string_view release) {
    unsigned long parts[3] = {0, 0, 0};
    const char* pos = release.data();
    const char* end = release.data() + release.size();
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos == end || *pos != '.') return "Unknown";
            ++pos;
        }
        if (pos == end || *pos < '0' || *pos > '9') return "Unknown";
        const auto [next, ec] = std::from_chars(pos, end, parts[i], 10);
        if (ec != std::errc()) return "Unknown";
        pos = next;
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

CpuArchitecture architectureFromMachineName(std::string_view machine) {
    if (machine == "x86_64" || machine == "amd64") return CpuArchitecture::X86_64;
    // 32-bit x86 is treated as x86_64, as the runtime packages have no 32-bit build.
    if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
        machine.substr(2) == "86") {
        return CpuArchitecture::X86_64;
    }
    if (machine == "aarch64" || machine == "arm64") return CpuArchitecture::Aarch64;
    return CpuArchitecture::Unknown;
}

bool hasAvx2(const PlatformServices& services) {
    CpuidRegisters leaf0, leaf1, leaf7;
    if (!services.cpuid || !services.cpuid(0, 0, leaf0) || leaf0.eax < 7) return false;
    if (!services.cpuid(1, 0, leaf1) || !(leaf1.ecx & (1u << 27))) return false;  // OSXSAVE
    const auto xcr0 = services.xgetbv ? services.xgetbv(0) : std::nullopt;
    if (!xcr0 || (*xcr0 & 0x6) != 0x6) return false;  // SSE and AVX state saved
    if (!services.cpuid(7, 0, leaf7)) return false;
    return (leaf7.ebx & (1u << 5)) != 0;
}

bool hasAvx2() { return hasAvx2(PlatformServices()); }

bool isLibgompAvailable(const PlatformServices& services, const std::string& libraryName) {
    return !services.isLibgompAvailable || services.isLibgompAvailable(libraryName);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
