#include "engine/engine.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/file_utils.h"
#include "common/ini.h"
#include "common/json_utils.h"
#include "common/log.h"
#include "engine/device_agent.h"
#include "engine/json_fields.h"
#include "engine/model_details_parser.h"
#include "engine/plugin.h"
#include "external/processor_config.h"
#include "inference/tensor_helpers.h"
#include "platform/library_pin.h"
#include "settings/settings_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;
using nlohmann::json;

Engine::Engine(Plugin* plugin, qz::sdk::UtilityProvider provider, std::string dataDirectory)
    : m_plugin(plugin),
      m_provider(std::move(provider)),
      m_dataDirectory(std::move(dataDirectory)),
      m_runtimesManager(m_dataDirectory, PlatformServices(), RuntimesConfig::fromIni()),
      m_inferenceManager(std::make_unique<InferenceManager>(m_dataDirectory, m_dataDirectory, m_messagingManager)),
      m_modelCache(m_dataDirectory, m_messagingManager),
      m_socketPath((fs::temp_directory_path() / ("qzai_plugin_" + std::to_string(::getpid()) + ".sock")).string()),
      m_registration(m_provider, ini().CloudServiceURL),
      m_server(m_provider, &m_shutdown) {
    m_runtimesManager.initialize(m_messagingManager);
    logMessage("Initialized engine. Plugin version: %s\n", QZAI_PLUGIN_VERSION);
}

Engine::LogCloser::~LogCloser() { closeLog(); }

Engine::~Engine() {
    m_inferenceManager->stopExternalProcessors();
    m_shutdown = true;
    m_modelCache.stop();
    m_runtimesManager.requestShutdown();
    wake();
    if (m_loop.joinable()) m_loop.join();

    // The loop's requests were abandoned; what released agents left to
    // publish gets one bounded try, and the host must let go of the handlers
    // of abandoned requests before this library may leave memory.
    const auto deadline = std::chrono::steady_clock::now() + kShutdownNetworkBound;
    publishPluginEnabled(ServerClient(m_provider, nullptr, deadline));
    if (!qz::sdk::waitForRestHandlersReleased(deadline)) {
        logMessage("Warning! The host still holds %zu REST request handler(s); the plugin library stays loaded.\n",
                   qz::sdk::liveRestHandlers());
        keepThisLibraryLoaded();
    }
    logMessage("Engine stopped.\n");
}

std::string Engine::manifestString() const { return SettingsManager::createEngineManifestString(); }

qz::sdk::Result<qz::sdk::analytics::IDeviceAgent*> Engine::doObtainDeviceAgent(const qz::sdk::IDeviceInfo* deviceInfo) {
    std::call_once(m_loopStarted, [this] {
        m_inferenceManager->reloadExternalProcessors();
        {
            std::lock_guard<std::mutex> lock(m_loopMutex);
            m_loopRunning = true;
        }
        m_loop = std::thread([this] { runtimeManagerLoop(); });
    });
    return new DeviceAgent(this, deviceInfo);
}

// ---- requests ---------------------------------------------------------------

void Engine::wake() {
    {
        std::lock_guard<std::mutex> lock(m_loopMutex);
        m_wakeRequested = true;
    }
    m_loopWake.notify_all();
    m_passDone.notify_all();
}

void Engine::requestRuntimeReselection() {
    m_runtimesManager.requestReselection();
    m_messagingManager.clearWarnings();
    m_messagingManager.removeMessage("RUNTIME_DOCUMENTATION");
    wake();
}

void Engine::requestRuntimeChoice(const std::string& name) {
    if (!m_runtimesManager.chooseRuntime(name)) {
        logMessage("Warning! Runtime choice %s ignored: it is not offered now.\n", name.c_str());
        return;
    }
    m_messagingManager.removeMessage("NVIDIA_RESTART_REQUIRED");
    logMessage("User chose: %s\n", name.c_str());
    wake();
}

void Engine::requestDeviceReset(const std::string& deviceId) {
    {
        std::lock_guard<std::mutex> lock(m_requestsMutex);
        m_resetRequests.insert(deviceId);
    }
    m_messagingManager.addMessage(kResetRequestedNotice, "Resetting the device configuration. Please wait a moment.",
                                  MessagingManager::MessageType::Info);
    wake();
}

void Engine::requestResetAllDevices() {
    {
        std::lock_guard<std::mutex> lock(m_requestsMutex);
        m_resetAllRequested = true;
    }
    m_messagingManager.addMessage(kResetRequestedNotice, "Resetting all devices. Please wait a moment.",
                                  MessagingManager::MessageType::Info);
    wake();
}

void Engine::requestClearCache() {
    m_clearCacheRequested = true;
    m_messagingManager.addMessage(kClearCacheRequestedNotice, "Clearing the plugin's downloaded files.",
                                  MessagingManager::MessageType::Info);
    wake();
}

void Engine::requestModelDownloadRetry() {
    m_retryDownloadsRequested = true;
    m_messagingManager.addMessage(kModelRetryRequestedNotice, "Retrying the failed model downloads.",
                                  MessagingManager::MessageType::Info);
    wake();
}

void Engine::requestDeviceParametersRefresh() {
    m_modelsDirty = true;
    wake();
}

bool Engine::waitForDevicesPass(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(m_loopMutex);
    if (!m_loopRunning || m_shutdown) return false;
    const uint64_t target = m_passesStarted + 1;
    m_wakeRequested = true;
    m_loopWake.notify_all();
    return m_passDone.wait_for(lock, bound, [&] { return m_passes >= target || !m_loopRunning || m_shutdown; }) &&
           m_passes >= target;
}

bool Engine::tryBeginPipelineFetch() {
    int taken = m_pipelineFetches.load();
    while (taken < kMaxPipelineFetches) {
        if (m_pipelineFetches.compare_exchange_weak(taken, taken + 1)) return true;
    }
    return false;
}

void Engine::endPipelineFetch() { m_pipelineFetches.fetch_sub(1); }

uint64_t Engine::passCount() const {
    std::lock_guard<std::mutex> lock(m_loopMutex);
    return m_passes;
}

// ---- agents and models --------------------------------------------------------

void Engine::registerAgent(DeviceAgent* agent) {
    std::lock_guard<std::mutex> lock(m_agentsMutex);
    m_agents[agent->deviceId()] = agent;
}

void Engine::queuePluginEnabled(const std::string& deviceId, bool enabled) {
    {
        std::lock_guard<std::mutex> lock(m_publishMutex);
        m_pluginEnabledToPublish[deviceId] = {enabled, 0};
    }
    wake();
}

void Engine::publishPluginEnabled(const ServerClient& client) {
    constexpr int kAttempts = 3;
    std::map<std::string, QueuedPluginEnabled> queued;
    {
        std::lock_guard<std::mutex> lock(m_publishMutex);
        queued.swap(m_pluginEnabledToPublish);
    }
    for (auto it = queued.begin(); it != queued.end();) {
        if (client.setPluginEnabled(it->first, it->second.enabled) || ++it->second.failures >= kAttempts) {
            it = queued.erase(it);
        } else {
            ++it;
        }
    }
    if (queued.empty()) return;
    // Tried again on a later pass unless the device was queued anew meanwhile.
    std::lock_guard<std::mutex> lock(m_publishMutex);
    m_pluginEnabledToPublish.merge(queued);
}

void Engine::unregisterAgent(DeviceAgent* agent) {
    std::lock_guard<std::mutex> lock(m_agentsMutex);
    const auto it = m_agents.find(agent->deviceId());
    if (it != m_agents.end() && it->second == agent) m_agents.erase(it);
}

ModelMap Engine::resolveModels(const json& descriptions, std::vector<std::string>* errors) {
    ModelMap resolved;
    if (!descriptions.is_array()) return resolved;
    std::lock_guard<std::mutex> lock(m_modelsMutex);
    for (const auto& description : descriptions) {
        std::shared_ptr<ModelDetails_t> fresh;
        try {
            fresh = parseModelDetails(description);
        } catch (const std::exception& e) {
            logMessage("Error! Could not read a model description: %s\n", e.what());
            if (errors) errors->push_back(std::string("A model description could not be read: ") + e.what());
            continue;
        }
        auto& known = m_models[fresh->id];
        if (!known || !sameModelRevision(*known, *fresh)) {
            known = fresh;
            writeRawPostprocessingConfig(*known, description);
        }
        resolved[known->id] = known;
    }
    return resolved;
}

ProcessorResolver Engine::processorResolver() const {
    // Only an image pre-processor and a post-processor that receives the
    // input image need the camera frame; the others work on tensors.
    ProcessorResolver resolver;
    const InferenceManager* manager = m_inferenceManager.get();
    resolver.preprocessor = [manager](const std::string& name, bool* needsFrame) -> ExternalPreprocessor_t* {
        const auto& map = manager->externalPreprocessors();
        const auto it = map.find(name);
        if (it == map.end()) return nullptr;
        *needsFrame = it->second->schedule == PreprocessorSchedule::Image;
        return it->second.get();
    };
    resolver.postprocessor = [manager](const std::string& name, bool* needsFrame) -> ExternalPostprocessor_t* {
        const auto& map = manager->externalPostprocessors();
        const auto it = map.find(name);
        if (it == map.end()) return nullptr;
        *needsFrame = it->second->receiveInputImage;
        return it->second.get();
    };
    return resolver;
}

void Engine::writeRawPostprocessingConfig(const ModelDetails_t& model, const json& description) const {
    const auto config = description.find("RawPostprocessing");
    const std::string folder = m_modelCache.modelCompanionFolder(model.id);
    if (config == description.end() || !config->is_object()) {
        // A revision without the configuration decodes as its description says,
        // not as an earlier revision was told to.
        std::error_code ec;
        if (fs::remove(folder + "/raw_postprocessing.json", ec)) {
            logMessage("Removed raw_postprocessing.json of model %s: its new revision carries none.\n",
                       model.id.c_str());
        }
        return;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::ofstream out(folder + "/raw_postprocessing.json", std::ios::trunc);
    if (!(out << config->dump())) {
        logMessage("Warning! [Engine] Could not write raw_postprocessing.json of model %s\n", model.id.c_str());
    }
}

void Engine::loadRawPostprocessingConfig(const ModelDetails_t& model, ModelPreparation& preparation) const {
    const std::string path = m_modelCache.modelCompanionFolder(model.id) + "/raw_postprocessing.json";
    const auto text = readTextFile(path);
    if (!text) return;
    const json config = parseOutsideJson(*text, path.c_str());
    if (!config.is_object()) {
        logMessage("Warning! [Engine] %s is not a JSON object; keeping the model's decoding defaults.\n", path.c_str());
        return;
    }
    const std::string family = optionalText(config, "modelArchitecture");
    bool known = false;
    const int32_t architecture = isKnownModelFamily(family, &known);
    if (!known) {
        logMessage(
            "Warning! [Engine] Unrecognized modelArchitecture '%s' in raw_postprocessing.json; falling back to "
            "YOLO11.\n",
            family.c_str());
    }
    preparation.modelArchitecture = static_cast<uint32_t>(architecture);
    if (const auto v = config.find("confidenceThreshold"); v != config.end() && v->is_number()) {
        preparation.confidenceThreshold =
            floatFromJson(*v, "confidenceThreshold", preparation.confidenceThreshold);
    }
    if (const auto v = config.find("iouThreshold"); v != config.end() && v->is_number()) {
        preparation.iouThreshold = floatFromJson(*v, "iouThreshold", preparation.iouThreshold);
    }
    if (const auto v = config.find("classes"); v != config.end() && v->is_array()) {
        preparation.detectionClasses.clear();
        for (const auto& name : *v) {
            if (name.is_string()) preparation.detectionClasses.push_back(name.get<std::string>());
        }
    }
    preparation.builtInDecoding = true;
}

// ---- host server parameters ---------------------------------------------------

bool Engine::updateServerParameters() {
    json pre = json::array(), post = json::array();
    for (const auto& [name, record] : m_inferenceManager->externalPreprocessors()) pre.push_back(name);
    for (const auto& [name, record] : m_inferenceManager->externalPostprocessors()) post.push_back(name);
    const bool ok = m_server.updateQzAi("/rest/v4/servers/this", [&](json& qzAI) {
        qzAI["availablePreprocessors"] = pre;
        qzAI["availablePostprocessors"] = post;
    });
    if (!ok) logMessage("Error! Could not publish the available processors on this server.\n");
    return ok;
}

void Engine::patchServerRuntimeInformation(const std::string& runtimeName, const std::string& mimeType) {
    const bool ok = m_server.updateQzAi("/rest/v4/servers/this", [&](json& qzAI) {
        qzAI["runtimeInformation"] = {{"runtime", runtimeName}, {"mimeType", mimeType}};
    });
    if (!ok) logMessage("Error! Could not publish the runtime information on this server.\n");
}

}  // namespace qz::vms_server_plugins::analytics::qzai
