// A runtimes manager on a temporary bin folder with probe facts of a chosen
// machine, the real tar and a loopback package repository, plus a recorder
// for the engine hooks of a pass.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/messaging_manager.h"
#include "common/support/temp_dir.h"
#include "runtimes/runtimes_manager.h"
#include "runtimes/support/fake_platform.h"
#include "runtimes/support/package_builder.h"
#include "runtimes/support/package_repository.h"

namespace qz::test {

namespace fs = std::filesystem;

// Calls of the engine hooks, safe to read from the test thread.
class HookRecorder {
public:
    qzai::RuntimeHooks hooks() {
        qzai::RuntimeHooks h;
        h.stopInference = [this] { bump(m_stops); };
        h.publishRuntimeInformation = [this](const std::string& name, const std::string& mime) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_published.emplace_back(name, mime);
        };
        h.requestDeviceRefresh = [this] { bump(m_refreshes); };
        h.runtimeBecameReady = [this] { bump(m_ready); };
        return h;
    }
    std::vector<std::pair<std::string, std::string>> published() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_published;
    }
    int stops() const { return read(m_stops); }
    int refreshes() const { return read(m_refreshes); }
    int readyCalls() const { return read(m_ready); }

private:
    void bump(int& counter) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++counter;
    }
    int read(const int& counter) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return counter;
    }
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_published;
    int m_stops = 0, m_refreshes = 0, m_ready = 0;
};

inline const char* const kCpuX86Path = "CPU/x86_64/Linux/library.tar.gz";
inline const char* const kIntelPath = "INTEL/x86_64/Linux/library.tar.gz";
inline const char* const kCpuArmPath = "CPU/aarch64/Linux/library.tar.gz";

// A small well-formed package: the library, its arguments and a sub folder.
inline std::string runtimePackage(const std::string& name) {
    PackageBuilder builder;
    builder.file("RuntimeLibrary.dll", "library of " + name, 0755)
        .file("runtime_args.json", "{\"name\": \"" + name + "\"}")
        .file("lib/libhelper.so", "helper of " + name);
    return builder.build();
}

class InstallRig {
public:
    // `arch` is what the kernel reports ("x86_64", "aarch64").
    explicit InstallRig(const std::string& arch = "x86_64") {
        root.kernel("6.1.0-18-amd64", arch);
        root.noPciDevices();
        config = testConfig();
        config.repositoryBase = repository.base();
        fs::create_directories(sentinel());
    }

    // Probe commands find nothing; tar is the real one.
    qzai::PlatformServices services() {
        qzai::PlatformServices s = fakeServices(runner, root, console);
        s.environment = environment;
        s.runCommand = [this](const std::vector<std::string>& argv, const qzai::RunOptions& given) {
            if (argv.empty() || argv[0] != "tar") return qzai::CommandOutput{};
            qzai::RunOptions options = given;
            if (beforeTar) beforeTar(argv, options);
            qzai::CommandOutput output = qzai::runCommand(argv, options);
            if (afterTar) afterTar(argv, output);
            return output;
        };
        return s;
    }

    std::unique_ptr<qzai::RuntimesManager> manager() {
        auto m = std::make_unique<qzai::RuntimesManager>(bin.path().string(), services(), config);
        m->initialize(messages);
        return m;
    }

    qzai::RuntimePassResult pass(qzai::RuntimesManager& m) { return m.advanceRuntimeState(messages, recorder.hooks()); }

    fs::path runtimeFolder() const { return bin.path() / "inference_engine"; }
    fs::path cacheFolder() const { return bin.path() / "runtime_cache"; }
    // A folder beside the runtime folder that no installation may touch.
    fs::path sentinel() const { return bin.path() / "outside"; }

    std::string nameFile() const {
        std::ifstream in(runtimeFolder() / "installed_runtime.txt", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool hasNotice(const std::string& id) const { return messages.messages().count(id) == 1; }

    // Leftovers an installation must never leave: ".part" files, staging
    // folders, anything in the sentinel folder.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(cacheFolder(), ec)) {
            if (e.path().extension() == ".part") found.push_back(e.path().string());
        }
        for (const auto& e : fs::directory_iterator(runtimeFolder(), ec)) {
            if (e.path().filename().string().rfind(".staging-", 0) == 0) found.push_back(e.path().string());
        }
        for (const auto& e : fs::directory_iterator(sentinel(), ec)) found.push_back(e.path().string());
        return found;
    }

    TempDir bin;
    FakeRoot root;
    FakeRunner runner;
    ConsoleLines console;
    PackageRepository repository;
    qzai::RuntimesConfig config;
    qzai::ProcessEnvironment environment = qzai::ProcessEnvironment::current();
    qzai::MessagingManager messages;
    HookRecorder recorder;
    // May change what a tar run reads (its options' input), e.g. other bytes
    // than those listed.
    std::function<void(const std::vector<std::string>& argv, qzai::RunOptions& options)> beforeTar;
    // Sees (and may change) what each tar run did, e.g. a disk that filled up.
    std::function<void(const std::vector<std::string>& argv, qzai::CommandOutput& output)> afterTar;
};

// The folder tar extracted into ("-C <folder>"), empty for a listing.
inline std::string extractionFolder(const std::vector<std::string>& argv) {
    const auto it = std::find(argv.begin(), argv.end(), "-C");
    return it == argv.end() || it + 1 == argv.end() ? std::string() : *(it + 1);
}

}  // namespace qz::test
