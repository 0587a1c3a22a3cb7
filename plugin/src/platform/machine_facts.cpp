#include "platform/machine_facts.h"

#include <sys/utsname.h>

#include <filesystem>
#include <fstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define QZAI_HAVE_CPUID 1
#endif

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::optional<std::string> readFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

}  // namespace

const char* platformOsName() {
#ifdef _WIN32
    return "Windows";
#else
    return "Linux";
#endif
}

std::optional<std::string> readKernelRelease(const std::string& root) {
    return readFirstLine(std::filesystem::path(root) / "proc/sys/kernel/osrelease");
}

std::optional<std::string> readMachineName(const std::string& root) {
    if (auto name = readFirstLine(std::filesystem::path(root) / "proc/sys/kernel/arch")) return name;
    std::error_code ec;
    if (!std::filesystem::equivalent(root, "/", ec)) return std::nullopt;
    struct utsname names {};
    if (::uname(&names) != 0) return std::nullopt;
    return std::string(names.machine);
}

bool readCpuid(uint32_t leaf, uint32_t subleaf, CpuidRegisters& registers) {
#ifdef QZAI_HAVE_CPUID
    const unsigned highest = __get_cpuid_max(leaf & 0x80000000u, nullptr);
    if (highest == 0 || leaf > highest) return false;
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    registers = {a, b, c, d};
    return true;
#else
    (void)leaf;
    (void)subleaf;
    (void)registers;
    return false;
#endif
}

std::optional<uint64_t> readXgetbv(uint32_t index) {
#ifdef QZAI_HAVE_CPUID
    CpuidRegisters leaf1;
    if (!readCpuid(1, 0, leaf1) || !(leaf1.ecx & (1u << 27))) return std::nullopt;
    uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
    return (static_cast<uint64_t>(high) << 32) | low;
#else
    (void)index;
    return std::nullopt;
#endif
}

}  // namespace qz::vms_server_plugins::analytics::qzai
