// Facts about the running machine: operating system name, kernel release,
// machine (processor architecture) name, and the processor's CPUID and XGETBV
// answers.
//
// The files are read below a system root ("/" on the real machine, a fake
// tree in tests). Plain functions; thread-safe; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

// "Linux" here ("Windows" on Windows).
const char* platformOsName();

// The first line of <root>/proc/sys/kernel/osrelease, e.g. "5.15.0-91-generic";
// empty when it cannot be read.
std::optional<std::string> readKernelRelease(const std::string& root);

// The first line of <root>/proc/sys/kernel/arch, e.g. "x86_64". Only on the
// real root ("/"), when that file is missing (older kernels), uname(2)
// supplies the machine name. Empty when neither gives one.
std::optional<std::string> readMachineName(const std::string& root);

struct CpuidRegisters {
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
};

// CPUID of the leaf and sub-leaf; false when the processor has no such leaf
// (or no CPUID at all: every non-x86 build).
bool readCpuid(uint32_t leaf, uint32_t subleaf, CpuidRegisters& registers);

// XGETBV of the register (0 is XCR0); empty on non-x86 builds and when the
// operating system has not enabled XSAVE (CPUID.1:ECX bit 27), where the
// instruction would fault.
std::optional<uint64_t> readXgetbv(uint32_t index);

}  // namespace qz::vms_server_plugins::analytics::qzai
