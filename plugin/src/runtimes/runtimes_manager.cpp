#include "runtimes/runtimes_manager.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "common/messaging_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

RuntimesManager::RuntimesManager(const std::string& binDirectory)
    : runtimeFolder((fs::path(binDirectory) / kRuntimeFolderName).string()),
      cacheFolder((fs::path(binDirectory) / kCacheFolderName).string()) {}

void RuntimesManager::initialize(MessagingManager&) {
    if (runtimeFolder.empty()) {
        logMessage(
            "ERROR: The bin directory path is empty. Please make sure the bin directory of the Kelvane is "
            "supplied.\n");
        return;
    }
    logMessage("Initializing Runtimes Manager\n");
    state = RuntimeState::Detecting;
    logMessage("Runtimes Manager initialized.\n");
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
