// Fakes for the runtimes code: a command runner answering by argv, a system
// root with /proc and /sys files, and services built from them.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/support/temp_dir.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/runtimes_platform.h"

namespace qz::test {

namespace qzai = vms_server_plugins::analytics::qzai;

// Answers commands from a table keyed by the arguments joined with spaces;
// a command not in the table could not be started (-1). Records every call.
class FakeRunner {
public:
    void answer(const std::string& command, int exitCode, const std::string& output = "") {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers[command] = {exitCode, output};
    }
    qzai::CommandOutput operator()(const std::vector<std::string>& argv, const qzai::RunOptions& options) {
        std::string command;
        for (const auto& arg : argv) command += (command.empty() ? "" : " ") + arg;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(command);
        m_timeouts.push_back(options.timeout);
        const auto it = m_answers.find(command);
        return it == m_answers.end() ? qzai::CommandOutput{} : it->second;
    }
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    std::vector<std::chrono::milliseconds> timeouts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_timeouts;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, qzai::CommandOutput> m_answers;
    std::vector<std::string> m_calls;
    std::vector<std::chrono::milliseconds> m_timeouts;
};

// A system root in a temporary folder.
class FakeRoot {
public:
    std::string path() const { return m_dir.path().string(); }
    void write(const std::string& relative, const std::string& content) const {
        const auto file = m_dir.path() / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    void kernel(const std::string& release, const std::string& arch) const {
        if (!release.empty()) write("proc/sys/kernel/osrelease", release + "\n");
        if (!arch.empty()) write("proc/sys/kernel/arch", arch + "\n");
    }
    void pciDevice(const std::string& slot, const std::string& vendor, const std::string& device = "0x1234",
                   const std::string& subVendor = "0x0000", const std::string& subDevice = "0x0000",
                   const std::string& revision = "0x00") const {
        const std::string base = "sys/bus/pci/devices/" + slot + "/";
        if (!vendor.empty()) write(base + "vendor", vendor + "\n");
        write(base + "device", device + "\n");
        write(base + "subsystem_vendor", subVendor + "\n");
        write(base + "subsystem_device", subDevice + "\n");
        write(base + "revision", revision + "\n");
    }
    void noPciDevices() const { std::filesystem::create_directories(m_dir.path() / "sys/bus/pci/devices"); }

private:
    TempDir m_dir;
};

// Console lines written by the code under test.
struct ConsoleLines {
    std::mutex mutex;
    std::string out;
    std::string err;
};

// Services whose every machine access goes to the fakes; CPUID reports an
// AVX2 processor with an OS that saves AVX state.
inline qzai::PlatformServices fakeServices(FakeRunner& runner, const FakeRoot& root, ConsoleLines& console,
                                           std::vector<std::string> environment = {}) {
    qzai::PlatformServices services;
    services.runCommand = [&runner](const std::vector<std::string>& argv, const qzai::RunOptions& options) {
        return runner(argv, options);
    };
    services.environment = qzai::ProcessEnvironment(std::move(environment));
    services.systemRoot = root.path();
    services.osName = "Linux";
    services.cpuid = [](uint32_t leaf, uint32_t, qzai::CpuidRegisters& r) {
        r = {};
        if (leaf == 0) r.eax = 7;
        if (leaf == 1) r.ecx = 1u << 27;
        if (leaf == 7) r.ebx = 1u << 5;
        return leaf <= 7;
    };
    services.xgetbv = [](uint32_t) { return std::optional<uint64_t>(0x7); };
    services.console = [&console](qzai::ConsoleStream stream, const std::string& text) {
        std::lock_guard<std::mutex> lock(console.mutex);
        (stream == qzai::ConsoleStream::Err ? console.err : console.out) += text;
    };
    return services;
}

// A record in one line: chip name, the two flags, count, API version, then
// each runtime's address (below the test repository's base) and mime types.
inline std::string describe(const qzai::ChipStatus& record) {
    std::string text = record.chipName + " " + std::to_string(record.chipDetected) +
                       std::to_string(record.correctlyInstalled) + " n=" + std::to_string(record.numberOfChips) +
                       " api=" + record.apiVersion;
    const std::string base = "https://repo.test/PELM/runtimes/2.0.0/";
    for (const auto& [name, info] : record.runtimes) {
        text += " [" + name + ": " + (info.downloadUrl.rfind(base, 0) == 0 ? info.downloadUrl.substr(base.size())
                                                                             : info.downloadUrl);
        for (const auto& mime : info.mimeTypes) text += " | " + mime;
        text += "]";
    }
    return text;
}

inline qzai::RuntimesConfig testConfig() {
    qzai::RuntimesConfig config;
    config.repositoryBase = "https://repo.test";
    config.documentationBase = "https://docs.test";
    return config;
}

}  // namespace qz::test
