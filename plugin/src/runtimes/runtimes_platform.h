// What the runtimes code needs of the machine and of the configuration,
// gathered so tests can hand in their own.
//
// PlatformServices: how commands run, the environment, the system root, the
// processor checks and where console lines go. The defaults are the real ones
// of this machine. RuntimesConfig: the configuration values the runtimes code
// reads; fromIni() takes them from the process-wide configuration (read once
// per process), so tests build their own values instead.
//
// Both are plain values: copy them freely; a copy may be read from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/ini.h"
#include "common/run_command.h"
#include "platform/environment.h"
#include "platform/machine_facts.h"

namespace qz::vms_server_plugins::analytics::qzai {

enum class ConsoleStream { Out, Err };

struct PlatformServices {
    using CommandRunner = std::function<CommandOutput(const std::vector<std::string>& argv, const RunOptions&)>;
    using Cpuid = std::function<bool(uint32_t leaf, uint32_t subleaf, CpuidRegisters&)>;
    using Xgetbv = std::function<std::optional<uint64_t>(uint32_t index)>;
    using LibraryCheck = std::function<bool(const std::string& libraryName)>;
    using Console = std::function<void(ConsoleStream, const std::string& text)>;

    CommandRunner runCommand;      // default: runCommand of common/run_command.h
    ProcessEnvironment environment;  // default: ProcessEnvironment::current()
    std::string systemRoot = "/";  // below it: proc/sys/kernel and sys/bus/pci/devices
    std::string osName;            // default: platformOsName()
    Cpuid cpuid;                   // default: readCpuid
    Xgetbv xgetbv;                 // default: readXgetbv
    LibraryCheck isLibgompAvailable;  // default: always true
    std::chrono::milliseconds commandTimeout{30000};  // every probe command
    Console console;               // default: standard output / standard error

    // The real services of this machine.
    PlatformServices();

    // Runs a probe command with the command time-out and this environment.
    CommandOutput run(const std::vector<std::string>& argv) const;
    // Writes text as it is (the caller adds line ends) to the console.
    void print(ConsoleStream stream, const std::string& text) const;
};

struct RuntimesConfig {
    bool cacheRuntimeArchives = false;
    std::string RuntimesStorageURL;  // empty: the built-in repository
    bool enableNvidiaTRTIntegration = false;
    std::string repositoryBase;     // the built-in repository's base address
    std::string documentationBase;  // the documentation site's base address
    uint64_t maxPackageBytes = uint64_t{2048} << 20;   // a download past it fails
    uint64_t maxUnpackedBytes = uint64_t{4096} << 20;  // disk of the unpacked entries (listed and landed)
    uint64_t maxUnpackedEntries = 100000;               // entries unpacked (listed and landed)

    // The process-wide configuration, or the given one.
    static RuntimesConfig fromIni();
    static RuntimesConfig fromIni(const Ini& config);
};

}  // namespace qz::vms_server_plugins::analytics::qzai
