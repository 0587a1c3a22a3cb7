#include "inference/inference_manager.h"

#include <algorithm>

#include "common/ini.h"
#include "common/log.h"
#include "common/messaging_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

int InferenceManager::workerBound(int configured) {
    return std::clamp(configured, 0, kMaxWorkers);
}

InferenceManager::InferenceManager(std::string rootFolder, std::string serverFolder,
                                   MessagingManager& messagingManager)
    : InferenceManager(std::move(rootFolder), std::move(serverFolder), messagingManager,
                       ini().MaxNumberConcurrentInputOutputThreads) {}

InferenceManager::InferenceManager(std::string rootFolder, std::string /*serverFolder*/,
                                   MessagingManager& messagingManager, int maxConcurrentWorkers)
    : m_rootFolder(std::move(rootFolder)),
      m_messagingManager(messagingManager),
      m_maxWorkers(workerBound(maxConcurrentWorkers)) {
    logMessage("Using Kelvane root folder: %s\n", m_rootFolder.c_str());
}

InferenceManager::~InferenceManager() = default;

void InferenceManager::sendInputMessage(qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame> /*frame*/,
                                        std::shared_ptr<const DeviceAgentSettings_t> /*settings*/,
                                        std::shared_ptr<const DeviceAgentDetails_t> /*details*/,
                                        InferenceResultCallback /*callback*/) {
    logMessage(
        "Warning! Tried sending message to inference engine before it's initialized, while it's stopping, or "
        "while it's being reconfigured.\n");
}

void InferenceManager::start(const ModelMap& /*models*/) {}

void InferenceManager::stopInferenceEngine() {}

void InferenceManager::waitForWorkers() {}

void InferenceManager::triggerReferenceRun(const std::string& /*deviceId*/, const std::string& /*stageKey*/) {}

void InferenceManager::reloadExternalProcessors() {}

void InferenceManager::stopExternalProcessors() {}

const ExternalPreprocessorMap& InferenceManager::externalPreprocessors() const { return m_externalPreprocessors; }

const ExternalPostprocessorMap& InferenceManager::externalPostprocessors() const { return m_externalPostprocessors; }

bool InferenceManager::hasEngine() const { return false; }

}  // namespace qz::vms_server_plugins::analytics::qzai
