// RuntimesManager: which AI runtime library this machine uses, its state
// machine, and the file that remembers the installed runtime.
//
// This is the manager's first, smallest form: it knows the runtime folder and
// the installed-runtime file, but probes no accelerators and offers no
// runtime packages yet, so selection finds nothing to install and a runtime
// counts only when one was installed into the runtime folder beforehand.
//
// Threads: the engine's runtime-manager loop drives it; `state`,
// `cancelDownloadRequested` and `downloadCancelled` are atomics also written
// from host threads; `compatibleRuntimes`, `selectedRuntime` and the
// remembered name are guarded by one mutex (use the accessors).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

    RuntimesManager() = default;
    explicit RuntimesManager(const std::string& binDirectory);

    std::string runtimeFolder;
    std::string cacheFolder;
    std::atomic<RuntimeState> state{RuntimeState::Detecting};
    std::atomic<bool> cancelDownloadRequested{false};
    std::atomic<bool> downloadCancelled{false};

    void initialize(MessagingManager& messagingManager);

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

    mutable std::mutex m_mutex;
    std::vector<std::string> m_compatibleRuntimes;
    std::string m_selectedRuntime;
    mutable std::string m_installedRuntimeName;  // cache of the file's first line
};

}  // namespace qz::vms_server_plugins::analytics::qzai
