#include "runtimes/runtimes_manager.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "runtimes/family_probes.h"

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
    state = RuntimeState::Detecting;

    m_machineInfo = MachineInfo(m_services);
    m_osName = m_machineInfo.osName();
    m_osVersion = m_machineInfo.osVersion();
    m_cpuArchitecture = m_machineInfo.cpuArchitecture();
    if (m_osName.empty() || m_cpuArchitecture == CpuArchitecture::Unknown) {
        logMessage("Error: The OS name or CPU architecture are not extracted correctly from the system.\n");
        return;
    }
    if (m_cpuArchitecture == CpuArchitecture::X86_64 && !hasAvx2(m_services)) {
        messagingManager.addMessage("MISSING_AVX2_ERROR",
                                    "AVX2 is not supported on this machine. As a result, no runtime is compatible. "
                                    "Please ensure that your hardware supports AVX2 if you wish to use AI runtimes.",
                                    MessagingManager::MessageType::Warning);
        return;
    }
    if (!isLibgompAvailable(m_services, "libgomp.so")) {
        messagingManager.addMessage("MISSING_LIBGOMP_ERROR",
                                    "libgomp is not installed on this machine. Please install it and restart the "
                                    "server to be able to use AI runtimes.",
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

std::vector<std::string> RuntimesManager::selectCompatibleRuntimes(const std::string&) {
    // No accelerator family is probed yet, so nothing fits.
    logMessage("ERROR: Couldn't find any compatible runtime.\n");
    state = RuntimeState::NoCompatibleRuntime;
    return {};
}

void RuntimesManager::installRuntime(const std::string& name, MessagingManager&, bool) {
    logMessage("Error! No package address is known for runtime %s.\n", name.c_str());
    state = RuntimeState::InstallFailed;
}

void RuntimesManager::removeRuntime() { removeRuntimeLibrary(); }

void RuntimesManager::removeRuntimeLibrary() {
    bool failed = false;
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_installedRuntimeName.clear();
    }
    logMessage("Succesfully removed runtime library.\n");
    state = RuntimeState::Detecting;
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
    std::ofstream out(fs::path(runtimeFolder) / kInstalledRuntimeFileName, std::ios::trunc);
    if (!out || !(out << name)) logMessage("ERROR: Failed to save the installed runtime's name.\n");
}

bool RuntimesManager::isRuntimeInstalled() const {
    const fs::path folder(runtimeFolder);
    if (!fs::exists(folder / kInstalledRuntimeFileName)) return false;
    if (std::ifstream(folder / kRuntimeLibraryFileName)) return true;
    return static_cast<bool>(std::ifstream(folder / "Generic CPU" / kRuntimeLibraryFileName));
}

std::string RuntimesManager::getRuntimeMimeType(const std::string& name) const {
    if (name.empty()) {
        logMessage("Warning: There is no installed runtime on this machine.");
        return {};
    }
    logMessage("ERROR: Invalid runtime name.\n");  // no runtime family is known yet
    return {};
}

void RuntimesManager::markRuntimeReady(MessagingManager& messagingManager, const std::string&) {
    state = RuntimeState::Ready;
    messagingManager.removeMessage("MISSING_OPENCL_ERROR");
    messagingManager.removeMessage("NVIDIA_GPU_SDK");
    messagingManager.removeMessage("RUNTIME_DOCUMENTATION");
}

std::vector<std::string> RuntimesManager::compatibleRuntimes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_compatibleRuntimes;
}

void RuntimesManager::setCompatibleRuntimes(std::vector<std::string> names) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_compatibleRuntimes = std::move(names);
}

std::string RuntimesManager::selectedRuntime() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_selectedRuntime;
}

void RuntimesManager::setSelectedRuntime(std::string name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_selectedRuntime = std::move(name);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
