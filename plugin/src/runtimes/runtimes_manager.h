// RuntimesManager: which AI runtime library this machine uses, its state
// machine, and the file that remembers the installed runtime.
//
// initialize() takes the machine facts, checks the processor and probes the
// accelerator families once (on the thread that constructs the engine); the
// records and the map from runtime name to family are read-only afterwards.
// Selection and installation do not use them yet: selection finds nothing to
// install and a runtime counts only when one was installed into the runtime
// folder beforehand.
//
// Threads: the engine's runtime-manager loop drives it; `state`,
// `cancelDownloadRequested` and `downloadCancelled` are atomics also written
// from host threads; `compatibleRuntimes`, `selectedRuntime` and the
// remembered name are guarded by one mutex (use the accessors).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtimes/machine_info.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/runtimes_platform.h"

namespace qz::vms_server_plugins::analytics::qzai {

class MessagingManager;

enum class RuntimeState : int32_t {
    Detecting = 0,
    AwaitingSelection = 1,
    SelectionMade = 2,
    Installing = 3,
    InstallFailed = 4,
    NoCompatibleRuntime = 5,
    Ready = 6,
    ReselectRequested = 7,
};

class RuntimesManager {
public:
    static constexpr const char* kRuntimeFolderName = "inference_engine";
    static constexpr const char* kCacheFolderName = "runtime_cache";
    static constexpr const char* kInstalledRuntimeFileName = "installed_runtime.txt";
    static constexpr const char* kRuntimeLibraryFileName = "RuntimeLibrary.dll";

    // Without a bin directory initialize() stops at once.
    RuntimesManager();
    // The real machine and the process-wide configuration.
    explicit RuntimesManager(const std::string& binDirectory);
    RuntimesManager(const std::string& binDirectory, PlatformServices services, RuntimesConfig config);

    std::string runtimeFolder;
    std::string cacheFolder;
    std::atomic<RuntimeState> state{RuntimeState::Detecting};
    std::atomic<bool> cancelDownloadRequested{false};
    std::atomic<bool> downloadCancelled{false};

    // Machine checks and family probes; called once, by the engine constructor.
    void initialize(MessagingManager& messagingManager);
    // "Machine Info:", the OS/architecture line and the Intel record's status line.
    void printMachineInfo() const;

    // Read accessors, valid after initialize() (records are null before, and
    // when initialize() stopped early).
    const MachineInfo& machineInfo() const { return m_machineInfo; }
    const std::string& osName() const { return m_osName; }
    const std::string& osVersion() const { return m_osVersion; }
    CpuArchitecture cpuArchitecture() const { return m_cpuArchitecture; }
    const ChipStatus* cpuChip() const { return m_cpuChip.get(); }
    const NvidiaChipStatus* nvidiaChip() const { return m_nvidiaChip.get(); }
    const ChipStatus* deepxChip() const { return m_deepxChip.get(); }
    const HailoChipStatus* hailoChip() const { return m_hailoChip.get(); }
    const ChipStatus* intelChip() const { return m_intelChip.get(); }
    // Every offered runtime -> the family record offering it (byte-wise order).
    const std::map<std::string, const ChipStatus*>& runtimeFamilies() const { return m_runtimeFamilies; }
    const PlatformServices& platformServices() const { return m_services; }
    const RuntimesConfig& config() const { return m_config; }

    std::vector<std::string> selectCompatibleRuntimes(const std::string& mimeType);
    void installRuntime(const std::string& name, MessagingManager& messagingManager, bool intoSubfolder);
    void removeRuntime();
    std::string readInstalledRuntimeName() const;
    void saveInstalledRuntimeName(const std::string& name);
    bool isRuntimeInstalled() const;
    std::string getRuntimeMimeType(const std::string& name) const;
    bool isNvidiaRestartRequired() const { return false; }
    void markRuntimeReady(MessagingManager& messagingManager, const std::string& name);

    std::vector<std::string> compatibleRuntimes() const;
    void setCompatibleRuntimes(std::vector<std::string> names);
    std::string selectedRuntime() const;
    void setSelectedRuntime(std::string name);

private:
    void removeRuntimeLibrary();

    PlatformServices m_services;
    RuntimesConfig m_config;
    MachineInfo m_machineInfo;
    std::string m_osName;
    std::string m_osVersion;
    CpuArchitecture m_cpuArchitecture = CpuArchitecture::Unknown;
    std::unique_ptr<ChipStatus> m_cpuChip;
    std::unique_ptr<HailoChipStatus> m_hailoChip;
    std::unique_ptr<NvidiaChipStatus> m_nvidiaChip;
    std::unique_ptr<ChipStatus> m_deepxChip;
    std::unique_ptr<ChipStatus> m_intelChip;
    std::map<std::string, const ChipStatus*> m_runtimeFamilies;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_compatibleRuntimes;
    std::string m_selectedRuntime;
    mutable std::string m_installedRuntimeName;  // cache of the file's first line
};

}  // namespace qz::vms_server_plugins::analytics::qzai
