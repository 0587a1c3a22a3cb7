// The engine's runtime-manager loop: one pass at a time on the loop thread.
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "common/json_utils.h"
#include "common/log.h"
#include "engine/device_agent.h"
#include "engine/engine.h"
#include "engine/json_fields.h"
#include "engine/qzai_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

using nlohmann::json;

namespace {

constexpr auto kPassInterval = std::chrono::seconds(1);

}  // namespace

void Engine::runtimeManagerLoop() {
    bool first = true;
    while (true) {
        {
            std::unique_lock<std::mutex> lock(m_loopMutex);
            if (!first) {
                m_loopWake.wait_for(lock, kPassInterval, [this] { return m_wakeRequested || m_shutdown.load(); });
            }
            first = false;
            m_wakeRequested = false;
            if (m_shutdown) break;
            ++m_passesStarted;
        }
        try {
            runPass();
        } catch (const std::exception& e) {
            logMessage("Error! Runtime manager loop pass failed: %s\n", e.what());
        } catch (...) {
            logMessage("Error! Runtime manager loop pass failed with an unknown exception.\n");
        }
        {
            std::lock_guard<std::mutex> lock(m_loopMutex);
            ++m_passes;
        }
        m_passDone.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(m_loopMutex);
        m_loopRunning = false;
    }
    m_passDone.notify_all();
}

void Engine::runPass() {
    publishPluginEnabled(m_server);
    if (m_shutdown) return;
    if (m_registration.checkCloudConnection()) m_serverParametersPending = m_hostResetsPending = true;
    if (m_registration.tokenObtained()) {
        // Retried on later passes while the host server cannot take them.
        if (m_serverParametersPending && !m_shutdown) m_serverParametersPending = !updateServerParameters();
        if (m_hostResetsPending && !m_shutdown) m_hostResetsPending = !resetDevicesAskedByHost();
    }
    m_cloudSystemId = m_registration.cloudSystemId();
    if (m_shutdown || !runtimeStateStep()) return;
    if (m_shutdown) return;
    carryOutRecoveryRequest();
    if (m_shutdown) return;
    devicesStep();
    if (m_shutdown) return;
    m_inferenceManager->restartFailedRuntime();
}

// ---- runtime state --------------------------------------------------------------

bool Engine::runtimeStateStep() {
    RuntimeHooks hooks;
    hooks.stopInference = [this] { m_inferenceManager->stopInferenceEngine(); };
    hooks.publishRuntimeInformation = [this](const std::string& name, const std::string& mimeType) {
        patchServerRuntimeInformation(name, mimeType);
    };
    hooks.requestDeviceRefresh = [this] { requestDeviceParametersRefresh(); };
    hooks.runtimeBecameReady = [this] { m_modelsDirty = true; };
    return m_runtimesManager.advanceRuntimeState(m_messagingManager, hooks) == RuntimePassResult::Continue;
}

// ---- recovery requests ------------------------------------------------------------

void Engine::carryOutRecoveryRequest() {
    std::set<std::string> resets;
    bool resetAll = false;
    {
        std::lock_guard<std::mutex> lock(m_requestsMutex);
        resets.swap(m_resetRequests);
        resetAll = m_resetAllRequested;
        m_resetAllRequested = false;
    }
    if (resetAll || !resets.empty()) {
        if (resetAll) {
            std::lock_guard<std::mutex> lock(m_agentsMutex);
            for (const auto& [id, agent] : m_agents) resets.insert(id);
        }
        m_messagingManager.removeMessage(kResetRequestedNotice);
        resetDevices(resets);
        return;
    }
    if (m_clearCacheRequested.exchange(false)) {
        m_messagingManager.removeMessage(kClearCacheRequestedNotice);
        m_inferenceManager->stopInferenceEngine();
        m_runtimesManager.removeRuntime();
        m_modelCache.clear();
        {
            std::lock_guard<std::mutex> lock(m_modelsMutex);
            for (auto& [id, model] : m_models) {
                std::lock_guard<std::mutex> errorsLock(model->errorsMutex);
                model->errors.clear();
                model->downloadProgress = 0;
                model->downloadState = ModelDownloadState::NotExamined;
            }
        }
        m_messagingManager.removeMessage("MODEL_DOWNLOAD_FAILED");
        patchServerRuntimeInformation("", "");
        m_modelsDirty = true;
        return;
    }
    if (m_retryDownloadsRequested.exchange(false)) {
        m_messagingManager.removeMessage(kModelRetryRequestedNotice);
        m_messagingManager.removeMessage("MODEL_DOWNLOAD_FAILED");
        std::lock_guard<std::mutex> lock(m_modelsMutex);
        for (auto& [id, model] : m_models) {
            if (model->downloadState.load() != ModelDownloadState::Failed) continue;
            std::lock_guard<std::mutex> errorsLock(model->errorsMutex);
            model->errors.clear();
            model->downloadState = ModelDownloadState::NotExamined;
        }
        m_modelsDirty = true;
    }
}

std::set<std::string> Engine::resetDevices(const std::set<std::string>& deviceIds) {
    std::set<std::string> reset;
    if (!m_registration.tokenObtained()) {
        logMessage("Error! Devices cannot be reset without a cloud connection.\n");
        return reset;
    }
    for (const auto& id : deviceIds) {
        if (m_shutdown) break;
        if (m_registration.resetDevice(id, &m_shutdown)) reset.insert(id);
        std::lock_guard<std::mutex> lock(m_agentsMutex);
        const auto it = m_agents.find(id);
        if (it != m_agents.end()) it->second->clearCloudPipelines();
    }
    m_modelsDirty = true;
    return reset;
}

bool Engine::resetDevicesAskedByHost() {
    const auto devices = m_server.devices();
    if (!devices) return false;
    std::set<std::string> asked;
    for (const auto& device : *devices) {
        std::string error;
        const auto qzAI = readQzAiParameters(device, &error);
        if (qzAI && optionalBool(*qzAI, "resetRequested", false)) asked.insert(optionalText(device, "id"));
    }
    asked.erase(std::string());
    // A device whose reset failed keeps the host's flag for a later try.
    for (const auto& id : resetDevices(asked)) {
        m_server.updateQzAi(ServerClient::devicePath(id), [](json& qzAI) { qzAI["resetRequested"] = false; });
    }
    return true;
}

// ---- devices and models --------------------------------------------------------------

void Engine::devicesStep() {
    const auto devices = m_server.devices();
    bool changed = false;
    if (devices) {
        std::map<std::string, const json*> byId;
        for (const auto& device : *devices) {
            const std::string id = optionalText(device, "id");
            if (!id.empty()) byId[id] = &device;
        }
        std::lock_guard<std::mutex> lock(m_agentsMutex);
        std::vector<std::pair<std::string, DeviceAgent*>> fetching;  // in id order
        for (const auto& [id, agent] : m_agents) {
            if (m_shutdown) return;
            const auto found = byId.find(id);
            if (found == byId.end()) continue;  // the host has not listed the device yet
            std::string error;
            const auto qzAI = readQzAiParameters(*found->second, &error);
            if (!qzAI) {
                agent->reportParametersError(error);
                continue;
            }
            if (agent->processDeviceParametersIfChanged(*qzAI)) changed = true;
            fetching.emplace_back(id, agent);
        }
        // The agents take turns at the fetch places: the scan starts after
        // the agent that started the last fetch.
        if (m_registration.tokenObtained()) {
            size_t first = 0;
            while (first < fetching.size() && fetching[first].first <= m_lastFetchingAgent) ++first;
            for (size_t n = 0; n < fetching.size() && !m_shutdown; ++n) {
                const auto& [id, agent] = fetching[(first + n) % fetching.size()];
                if (agent->startPipelineFetch()) m_lastFetchingAgent = id;
            }
        }
    }
    if ((changed || m_modelsDirty.exchange(false)) && !m_shutdown) refreshModels();
    publishAgentNotices();
}

void Engine::publishAgentNotices() {
    // One notice per kind of problem, naming the first camera that has it; it
    // goes once no camera has the problem any more.
    struct Kind {
        DeviceAgentErrorType type;
        const char* noticeId;
        const char* what;
    };
    static const Kind kKinds[] = {
        {DeviceAgentErrorType::DeviceParameters, "PARSE_DEVICE_PARAMETERS", "parameters could not be read"},
        {DeviceAgentErrorType::Pipeline, "PARSE_PIPELINE", "pipeline has problems"},
    };
    std::map<std::string, std::string> found;
    {
        std::lock_guard<std::mutex> lock(m_agentsMutex);
        for (const auto& [id, agent] : m_agents) {
            const auto errors = agent->errors();
            for (const auto& kind : kKinds) {
                const auto it = errors.find(kind.type);
                if (it == errors.end() || found.count(kind.noticeId)) continue;
                found[kind.noticeId] = "The " + std::string(kind.what) + " on device " + agent->deviceName() + ": " +
                                       it->second;
            }
        }
    }
    for (const auto& kind : kKinds) {
        const auto it = found.find(kind.noticeId);
        if (it == found.end()) m_messagingManager.removeMessage(kind.noticeId);
        else m_messagingManager.addMessage(kind.noticeId, it->second, MessagingManager::MessageType::Warning);
    }
}

void Engine::refreshModels() {
    ModelMap used;
    {
        std::lock_guard<std::mutex> lock(m_agentsMutex);
        for (const auto& [id, agent] : m_agents) {
            const auto settings = agent->settingsSnapshot();
            if (!settings) continue;
            for (const auto& [modelId, model] : collectPipelineModels(settings->stages)) used[modelId] = model;
        }
    }
    const std::string runtimeName = m_runtimesManager.readInstalledRuntimeName();
    bool anyFailed = false;
    for (const auto& [id, model] : used) {
        if (m_shutdown) return;
        if (model->downloadState.load() == ModelDownloadState::NotExamined) {
            // A whole new preparation replaces the old one before the model
            // shows Ready; running requests keep the one they took.
            m_modelCache.ensureModel(*model, [&](ModelDetails_t& ready) {
                ModelPreparation preparation;
                preparation.installedRuntimeName = runtimeName;
                loadRawPostprocessingConfig(ready, preparation);
                ready.setPreparation(std::make_shared<const ModelPreparation>(std::move(preparation)));
            });
        } else if (model->downloadState.load() == ModelDownloadState::Ready &&
                   model->preparation()->installedRuntimeName != runtimeName) {
            auto preparation = std::make_shared<ModelPreparation>(*model->preparation());
            preparation->installedRuntimeName = runtimeName;
            model->setPreparation(std::move(preparation));
        }
        anyFailed = anyFailed || model->downloadState.load() == ModelDownloadState::Failed;
    }
    if (m_shutdown) return;
    if (!anyFailed) m_messagingManager.removeMessage("MODEL_DOWNLOAD_FAILED");
    {
        std::lock_guard<std::mutex> lock(m_agentsMutex);
        for (const auto& [id, agent] : m_agents) agent->updateModelErrors();
    }
    // An engine starts only on a runtime this manager installed and marked
    // ready, never on a library an earlier runtime left behind.
    if (m_runtimesManager.state() == RuntimeState::Ready) m_inferenceManager->start(used);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
