// RuntimesManager: which AI runtime library this machine uses, its state
// machine, the installation of runtime packages and the file that remembers
// the installed runtime.
//
// initialize() takes the machine facts, checks the processor and probes the
// accelerator families once (on the thread that constructs the engine); the
// records and the map from runtime name to family are read-only afterwards.
// advanceRuntimeState() is one pass of the engine's runtime loop: it finds an
// installed runtime, offers the compatible ones, installs the chosen one and
// removes it again on a reselection.
//
// Threads: one loop thread runs the passes; host threads call chooseRuntime,
// requestCancelDownload, requestReselection, requestShutdown and snapshot.
// The state is an atomic that the loop only changes by compare-and-set from
// the state its pass observed, so a host's reselection is never overwritten;
// the offered list, the choice and the remembered name sit behind one mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
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

// What a pass of the runtime loop needs of the engine. Every hook is called
// on the loop thread; an empty one is skipped.
struct RuntimeHooks {
    std::function<void()> stopInference;
    std::function<void(const std::string& name, const std::string& mimeType)> publishRuntimeInformation;
    std::function<void()> requestDeviceRefresh;
    std::function<void()> runtimeBecameReady;
};

// EndPass: the rest of the loop's pass (recovery requests, devices) waits
// for the next pass.
enum class RuntimePassResult { EndPass, Continue };

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

    // What the settings page shows of the manager, taken at one moment.
    struct Snapshot {
        RuntimeState state = RuntimeState::Detecting;
        bool downloadCancelled = false;
        std::vector<std::string> compatibleRuntimes;
        std::string installedRuntimeName;
    };

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

    // ---- host threads ----
    RuntimeState state() const { return m_state.load(); }
    // Accepted only in AwaitingSelection and for an offered name; the state
    // becomes SelectionMade.
    bool chooseRuntime(const std::string& name);
    void requestCancelDownload() { m_cancelDownloadRequested = true; }
    // ReselectRequested, whatever the loop is doing; a running download is
    // cancelled.
    void requestReselection();
    // For good: cancels the download and keeps any later download or tar
    // from starting; a running tar is killed.
    void requestShutdown();
    bool shutdownRequested() const { return m_shutdownRequested.load(); }
    bool downloadCancelled() const { return m_downloadCancelled.load(); }
    Snapshot snapshot() const;
    std::vector<std::string> compatibleRuntimes() const;

    // ---- the loop thread ----
    RuntimePassResult advanceRuntimeState(MessagingManager& messagingManager, const RuntimeHooks& hooks);

    // Runtimes that fit, for a model mime type ("" = any), sorted; none sets
    // NoCompatibleRuntime.
    std::vector<std::string> selectCompatibleRuntimes(const std::string& mimeType);
    // Downloads, checks and unpacks one runtime package; the outcome is the
    // state. True when this call made the state Ready.
    bool installRuntime(const std::string& name, MessagingManager& messagingManager, bool intoSubfolder);
    // Deletes the library and the name file; Detecting when both went.
    void removeRuntime();
    std::string readInstalledRuntimeName() const;
    void saveInstalledRuntimeName(const std::string& name);
    // Throws std::filesystem::filesystem_error when the name file's presence
    // cannot be told.
    bool isRuntimeInstalled() const;
    std::string getRuntimeMimeType(const std::string& name) const;
    bool isNvidiaRestartRequired() const;
    void markRuntimeReady(MessagingManager& messagingManager, const std::string& name);
    void clearGpuSdkMessages(MessagingManager& messagingManager) const;
    bool isBlockedNvidiaFamily(const ChipStatus* family) const;
    void markNvidiaRuntimeUsed(const std::string& name);

private:
    friend struct RuntimesManagerTestAccess;  // tests: put the manager in a given state

    // Loop writes go from the state the pass observed (`from`) only; false
    // when a host thread changed it meanwhile.
    bool advanceState(RuntimeState from, RuntimeState to);
    // With a messaging store, an empty result raises again the notice that
    // explained it at initialize() (missing AVX2 or libgomp).
    std::vector<std::string> selectCompatible(const std::string& mimeType, RuntimeState observed,
                                              MessagingManager* messagingManager);
    bool install(const std::string& name, MessagingManager& messagingManager, bool intoSubfolder,
                 RuntimeState observed);
    bool markReady(MessagingManager& messagingManager, const std::string& name, RuntimeState observed);
    void removeRuntimeLibrary();
    void forgetInstalledRuntimeName();
    bool installAndPublish(const std::string& name, MessagingManager& messagingManager, const RuntimeHooks& hooks,
                           RuntimeState observed);

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

    std::atomic<RuntimeState> m_state{RuntimeState::Detecting};
    std::atomic<bool> m_cancelDownloadRequested{false};
    std::atomic<bool> m_downloadCancelled{false};
    std::atomic<bool> m_shutdownRequested{false};
    bool m_nvidiaRuntimeUsed = false;  // loop thread only
    // Id and text of the notice initialize() raised for a missing processor
    // feature or library; empty when none. Set before the loop starts.
    std::pair<std::string, std::string> m_missingFeatureNotice;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_compatibleRuntimes;
    std::string m_selectedRuntime;
    mutable std::string m_installedRuntimeName;  // cache of the file's first line
};

}  // namespace qz::vms_server_plugins::analytics::qzai
