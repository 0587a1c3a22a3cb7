#include "runtimes/runtimes_manager.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "platform/atomic_file.h"
#include "runtimes/family_probes.h"
#include "runtimes/package_staging.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

RuntimesManager::RuntimesManager() : m_config(RuntimesConfig::fromIni()), m_machineInfo(m_services) {}

RuntimesManager::RuntimesManager(const std::string& binDirectory)
    : RuntimesManager(binDirectory, PlatformServices(), RuntimesConfig::fromIni()) {}

RuntimesManager::RuntimesManager(const std::string& binDirectory, PlatformServices services, RuntimesConfig config)
    : runtimeFolder(joinPath(binDirectory, kRuntimeFolderName)),
      cacheFolder(joinPath(binDirectory, kCacheFolderName)),
      m_services(std::move(services)),
      m_config(std::move(config)),
      m_machineInfo(m_services) {}

void RuntimesManager::initialize(MessagingManager& messagingManager) {
    if (runtimeFolder.empty()) {
        logMessage(
            "ERROR: The bin directory path is empty. Please make sure the bin directory of the Kelvane is "
            "supplied.\n");
        return;
    }
    logMessage("Initializing Runtimes Manager\n");
    m_state = RuntimeState::Detecting;
    // What an installation cut short by an earlier process left behind.
    removeInstallationLeftovers(runtimeFolder, cacheFolder);

    m_machineInfo = MachineInfo(m_services);
    m_osName = m_machineInfo.osName();
    m_osVersion = m_machineInfo.osVersion();
    m_cpuArchitecture = m_machineInfo.cpuArchitecture();
    if (m_osName.empty() || m_cpuArchitecture == CpuArchitecture::Unknown) {
        logMessage("Error: The OS name or CPU architecture are not extracted correctly from the system.\n");
        return;
    }
    if (m_cpuArchitecture == CpuArchitecture::X86_64 && !hasAvx2(m_services)) {
        m_missingFeatureNotice = {"MISSING_AVX2_ERROR",
                                  "AVX2 is not supported on this machine. As a result, no runtime is compatible. "
                                  "Please ensure that your hardware supports AVX2 if you wish to use AI runtimes."};
        messagingManager.addMessage(m_missingFeatureNotice.first, m_missingFeatureNotice.second,
                                    MessagingManager::MessageType::Warning);
        return;
    }
    if (!isLibgompAvailable(m_services, "libgomp.so")) {
        m_missingFeatureNotice = {"MISSING_LIBGOMP_ERROR",
                                  "libgomp is not installed on this machine. Please install it and restart the "
                                  "server to be able to use AI runtimes."};
        messagingManager.addMessage(m_missingFeatureNotice.first, m_missingFeatureNotice.second,
                                    MessagingManager::MessageType::Warning);
        return;
    }

    // The map points into the records about to be replaced: empty it first.
    m_runtimeFamilies.clear();
    FamilyRecords records =
        probeAllFamilies(m_cpuArchitecture, m_osName, m_osVersion, messagingManager, m_services, m_config);
    m_cpuChip = std::move(records.cpu);
    m_nvidiaChip = std::move(records.nvidia);
    m_deepxChip = std::move(records.deepx);
    m_hailoChip = std::move(records.hailo);
    m_intelChip = std::move(records.intel);
    const ChipStatus* const families[] = {m_cpuChip.get(), m_nvidiaChip.get(), m_deepxChip.get(), m_hailoChip.get(),
                                          m_intelChip.get()};
    for (const ChipStatus* family : families) {
        for (const auto& entry : family->runtimes) m_runtimeFamilies[entry.first] = family;
    }

    logMessage("Runtimes Manager initialized.\n");
    printMachineInfo();
}

void RuntimesManager::printMachineInfo() const {
    logMessage("Machine Info:\n");
    logMessage("OS Name: %s, OS Version: %s, CPU Architecture: %s\n", m_osName.c_str(), m_osVersion.c_str(),
               architectureName(m_cpuArchitecture));
    if (m_intelChip) m_intelChip->printChipStatus();
}

// ---- host threads ------------------------------------------------------------------

bool RuntimesManager::chooseRuntime(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_compatibleRuntimes.begin(), m_compatibleRuntimes.end(), name) == m_compatibleRuntimes.end()) {
        return false;
    }
    // The loop reads the choice under the mutex once it sees SelectionMade,
    // so the name is in place before the state moves.
    const std::string previous = std::exchange(m_selectedRuntime, name);
    RuntimeState expected = RuntimeState::AwaitingSelection;
    if (m_state.compare_exchange_strong(expected, RuntimeState::SelectionMade)) return true;
    m_selectedRuntime = previous;
    return false;
}

void RuntimesManager::requestReselection() {
    // One exchange: the loop cannot move the state to Installing between
    // reading it and storing the request.
    if (m_state.exchange(RuntimeState::ReselectRequested) == RuntimeState::Installing) m_cancelDownloadRequested = true;
}

void RuntimesManager::requestShutdown() {
    m_shutdownRequested = true;
    m_cancelDownloadRequested = true;
}

RuntimesManager::Snapshot RuntimesManager::snapshot() const {
    Snapshot snapshot;
    snapshot.state = m_state.load();
    snapshot.downloadCancelled = m_downloadCancelled.load();
    snapshot.compatibleRuntimes = compatibleRuntimes();
    snapshot.installedRuntimeName = readInstalledRuntimeName();
    return snapshot;
}

std::vector<std::string> RuntimesManager::compatibleRuntimes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_compatibleRuntimes;
}

// ---- the loop thread ------------------------------------------------------------------

bool RuntimesManager::advanceState(RuntimeState from, RuntimeState to) {
    return m_state.compare_exchange_strong(from, to);
}

RuntimePassResult RuntimesManager::advanceRuntimeState(MessagingManager& messagingManager, const RuntimeHooks& hooks) {
    const RuntimeState observed = m_state.load();
    if (observed == RuntimeState::ReselectRequested) {
        if (hooks.stopInference) hooks.stopInference();
        removeRuntime();
        if (m_state.load() == RuntimeState::Detecting && hooks.publishRuntimeInformation) {
            hooks.publishRuntimeInformation("", "");
        }
        return RuntimePassResult::EndPass;
    }
    if (observed == RuntimeState::Ready) return RuntimePassResult::Continue;
    if (isRuntimeInstalled()) {
        if (markReady(messagingManager, readInstalledRuntimeName(), observed) && hooks.runtimeBecameReady) {
            hooks.runtimeBecameReady();
        }
        return RuntimePassResult::EndPass;
    }
    const std::vector<std::string> compatible = selectCompatible("", observed, &messagingManager);
    const bool restartRequired = isNvidiaRestartRequired();
    if (compatible.size() > 1 || (compatible.size() == 1 && restartRequired)) {
        if (observed == RuntimeState::Detecting) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_compatibleRuntimes = compatible;
            }
            if (advanceState(observed, RuntimeState::AwaitingSelection) && restartRequired) {
                messagingManager.addMessage("NVIDIA_RESTART_REQUIRED",
                                            "The NVIDIA runtime can't be selected again until the mediaserver is "
                                            "restarted. Restart the mediaserver to make it available.",
                                            MessagingManager::MessageType::Info);
            }
            return RuntimePassResult::EndPass;
        }
        if (observed != RuntimeState::SelectionMade) return RuntimePassResult::EndPass;
        std::string selected;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            selected = m_selectedRuntime;
        }
        installAndPublish(selected, messagingManager, hooks, observed);
        return RuntimePassResult::Continue;
    }
    if (compatible.empty()) return RuntimePassResult::EndPass;
    if (observed != RuntimeState::InstallFailed) installAndPublish(compatible.front(), messagingManager, hooks, observed);
    return RuntimePassResult::Continue;
}

bool RuntimesManager::installAndPublish(const std::string& name, MessagingManager& messagingManager,
                                        const RuntimeHooks& hooks, RuntimeState observed) {
    if (name.empty()) return false;
    if (!install(name, messagingManager, false, observed)) return false;
    saveInstalledRuntimeName(name);
    if (hooks.publishRuntimeInformation) hooks.publishRuntimeInformation(name, getRuntimeMimeType(name));
    if (hooks.requestDeviceRefresh) hooks.requestDeviceRefresh();
    if (hooks.runtimeBecameReady) hooks.runtimeBecameReady();
    return true;
}

std::vector<std::string> RuntimesManager::selectCompatibleRuntimes(const std::string& mimeType) {
    return selectCompatible(mimeType, m_state.load(), nullptr);
}

std::vector<std::string> RuntimesManager::selectCompatible(const std::string& mimeType, RuntimeState observed,
                                                           MessagingManager* messagingManager) {
    std::vector<std::string> names;
    for (const auto& [name, family] : m_runtimeFamilies) {
        if (isBlockedNvidiaFamily(family)) continue;
        if (mimeType.empty()) {
            names.push_back(name);
            continue;
        }
        for (const auto& match : family->matchRuntimes(mimeType)) names.push_back(match);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names.empty()) {
        logMessage("ERROR: Couldn't find any compatible runtime.\n");
        // A reselection clears the warnings: the reason nothing fits comes back.
        if (messagingManager && !m_missingFeatureNotice.first.empty()) {
            messagingManager->addMessage(m_missingFeatureNotice.first, m_missingFeatureNotice.second,
                                         MessagingManager::MessageType::Warning);
        }
        advanceState(observed, RuntimeState::NoCompatibleRuntime);
    }
    return names;
}

bool RuntimesManager::installRuntime(const std::string& name, MessagingManager& messagingManager, bool intoSubfolder) {
    return install(name, messagingManager, intoSubfolder, m_state.load());
}

void RuntimesManager::removeRuntime() { removeRuntimeLibrary(); }

void RuntimesManager::removeRuntimeLibrary() {
    const RuntimeState observed = m_state.load();
    bool failed = false;
    {
        // Held across both deletions and the clearing, so a reader never
        // fills the remembered name from a file about to go.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const char* file : {kRuntimeLibraryFileName, kInstalledRuntimeFileName}) {
            const fs::path path = fs::path(runtimeFolder) / file;
            std::error_code ec;
            fs::remove(path, ec);
            if (ec) {
                logMessage("Warning! Failed to remove %s: %s\n", path.c_str(), ec.message().c_str());
                failed = true;
            }
        }
        if (failed) return;
        m_installedRuntimeName.clear();
    }
    logMessage("Succesfully removed runtime library.\n");
    advanceState(observed, RuntimeState::Detecting);
}

void RuntimesManager::forgetInstalledRuntimeName() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::error_code ec;
    fs::remove(fs::path(runtimeFolder) / kInstalledRuntimeFileName, ec);
    m_installedRuntimeName.clear();
}

std::string RuntimesManager::readInstalledRuntimeName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_installedRuntimeName.empty()) return m_installedRuntimeName;
    std::ifstream in(fs::path(runtimeFolder) / kInstalledRuntimeFileName);
    if (!in) {
        logMessage("Warning: There is no installed runtime on this machine.\n");
        return {};
    }
    std::getline(in, m_installedRuntimeName);
    return m_installedRuntimeName;
}

void RuntimesManager::saveInstalledRuntimeName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_installedRuntimeName = name;
    // Written to a fresh temporary beside the file (created exclusively, so
    // no link there is written through) and renamed over it: a reader or a
    // crash sees the old name or the new one, never a part.
    const fs::path path = fs::path(runtimeFolder) / kInstalledRuntimeFileName;
    if (!replaceFileAtomically(path.string(), name).ok()) {
        logMessage("ERROR: Failed to save the installed runtime's name.\n");
    }
}

bool RuntimesManager::isRuntimeInstalled() const {
    const fs::path folder(runtimeFolder);
    if (!fs::exists(folder / kInstalledRuntimeFileName)) return false;
    if (std::ifstream(folder / kRuntimeLibraryFileName)) return true;
    return static_cast<bool>(std::ifstream(folder / "Generic CPU" / kRuntimeLibraryFileName));
}

std::string RuntimesManager::getRuntimeMimeType(const std::string& name) const {
    if (name.empty()) {
        logMessage("Warning: There is no installed runtime on this machine.\n");
        return {};
    }
    const auto it = m_runtimeFamilies.find(name);
    if (it == m_runtimeFamilies.end()) {
        logMessage("ERROR: Invalid runtime name.\n");
        return {};
    }
    const std::string mimeType = it->second->getRuntimeMimeType(name);
    if (mimeType.empty() && it->second->runtimes.count(name)) {
        logMessage("ERROR: No supported mime types found for the runtime\n");
    }
    return mimeType;
}

bool RuntimesManager::isNvidiaRestartRequired() const {
    return m_nvidiaRuntimeUsed && m_nvidiaChip && m_nvidiaChip->correctlyInstalled;
}

bool RuntimesManager::isBlockedNvidiaFamily(const ChipStatus* family) const {
    return m_nvidiaRuntimeUsed && family != nullptr && family == m_nvidiaChip.get();
}

void RuntimesManager::markNvidiaRuntimeUsed(const std::string& name) {
    const auto it = m_runtimeFamilies.find(name);
    if (it != m_runtimeFamilies.end() && m_nvidiaChip && it->second == m_nvidiaChip.get()) m_nvidiaRuntimeUsed = true;
}

void RuntimesManager::clearGpuSdkMessages(MessagingManager& messagingManager) const {
    messagingManager.removeMessage("MISSING_OPENCL_ERROR");
    messagingManager.removeMessage("NVIDIA_GPU_SDK");
}

void RuntimesManager::markRuntimeReady(MessagingManager& messagingManager, const std::string& name) {
    markReady(messagingManager, name, m_state.load());
}

bool RuntimesManager::markReady(MessagingManager& messagingManager, const std::string& name, RuntimeState observed) {
    if (observed != RuntimeState::Ready && !advanceState(observed, RuntimeState::Ready)) return false;
    markNvidiaRuntimeUsed(name);
    clearGpuSdkMessages(messagingManager);
    messagingManager.removeMessage("RUNTIME_DOCUMENTATION");
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
