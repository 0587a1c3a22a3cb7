// MachineInfo: the operating system's name and version and the processor
// architecture, as the runtime packages are chosen by; and the two processor
// checks (AVX2, libgomp).
//
// Detection never fails: missing information gives "Unknown" or architecture
// 0. A MachineInfo is a plain value, read-only after construction.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/cpu_architecture.h"
#include "runtimes/runtimes_platform.h"

namespace qz::vms_server_plugins::analytics::qzai {

class MachineInfo {
public:
    // Detects the three values through the services (the real machine by default).
    MachineInfo() : MachineInfo(PlatformServices()) {}
    explicit MachineInfo(const PlatformServices& services);

    std::string osName() const { return m_osName; }
    std::string osVersion() const { return m_osVersion; }
    CpuArchitecture cpuArchitecture() const { return m_cpuArchitecture; }

private:
    std::string m_osName;
    std::string m_osVersion;
    CpuArchitecture m_cpuArchitecture = CpuArchitecture::Unknown;
};

// "a.b.c" from the first three dot-separated decimal numbers of a kernel
// release ("5.15.0-91-generic" gives "5.15.0"); "Unknown" when there are
// fewer than three or one does not fit.
std::string osVersionFromRelease(std::string_view release);
// x86_64, amd64 and i386..i686 give X86_64; aarch64 and arm64 give Aarch64;
// anything else Unknown.
CpuArchitecture architectureFromMachineName(std::string_view machine);

// True when the processor has AVX2 (CPUID leaf 7, sub-leaf 0, EBX bit 5) and
// the operating system saves the AVX register state (CPUID.1:ECX bit 27
// OSXSAVE, and XCR0 bits 1 and 2); a processor whose highest leaf is below 7
// has none. Without the second check a kernel that does not save AVX state
// would report AVX2 and the runtime would die on its first AVX instruction.
bool hasAvx2(const PlatformServices& services);
bool hasAvx2();

// Whether the OpenMP runtime library is present; true on this platform.
bool isLibgompAvailable(const PlatformServices& services, const std::string& libraryName);

}  // namespace qz::vms_server_plugins::analytics::qzai
