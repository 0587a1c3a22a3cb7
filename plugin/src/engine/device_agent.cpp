#include "engine/device_agent.h"

#include <chrono>
#include <limits>
#include <system_error>

#include "common/ini.h"
#include "common/json_utils.h"
#include "common/log.h"
#include "engine/active_setting_action.h"
#include "engine/engine.h"
#include "engine/json_fields.h"
#include "engine/pipeline_parser.h"
#include "engine/settings_cache.h"
#include "qz/sdk/analytics/helpers/event_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_track_best_shot_packet.h"
#include "qz/sdk/helpers/settings_response.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"
#include "settings/settings_inputs.h"
#include "settings/settings_manager.h"
#include "settings/stage_sections.h"

namespace qz::vms_server_plugins::analytics::qzai {

using nlohmann::json;
namespace keys = setting_keys;

namespace {

std::shared_ptr<const DeviceAgentDetails_t> detailsOf(const qz::sdk::IDeviceInfo* info) {
    auto details = std::make_shared<DeviceAgentDetails_t>();
    if (info) {
        details->deviceId = info->id() ? info->id() : "";
        details->deviceName = info->name() ? info->name() : "";
    }
    return details;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const pipeline_stage_parameters_t* findStage(const DeviceAgentSettings_t& settings, const std::string& key) {
    for (const auto* stage : flattenPipelineStages(settings.stages)) {
        if (stage->key == key) return stage;
    }
    return nullptr;
}

}  // namespace

DeviceAgent::DeviceAgent(Engine* engine, const qz::sdk::IDeviceInfo* deviceInfo)
    : ConsumingDeviceAgent(deviceInfo),
      m_engine(engine),
      m_details(detailsOf(deviceInfo)),
      m_settingsCachePath(qzai::settingsCachePath(engine->dataDirectory(), m_details->deviceId)),
      m_lifetimeToken(std::make_shared<LifetimeToken>()) {
    m_engine->addRef();
    m_lifetimeToken->agent = this;
    m_received = loadSettingsCache(m_settingsCachePath);
    dropUnreadableSettings(m_received);  // left by an older version
    if (!m_received.empty()) {
        logMessage("Loaded %zu cached settings of device %s.\n", m_received.size(), m_details->deviceId.c_str());
    }
    m_engine->registerAgent(this);
    m_engine->queuePluginEnabled(m_details->deviceId, true);
    m_engine->requestDeviceParametersRefresh();
}

DeviceAgent::~DeviceAgent() {
    {
        std::lock_guard<std::mutex> lock(m_lifetimeToken->handlerMutex);
        m_lifetimeToken->agent = nullptr;  // waits for a callback that is pushing packets
    }
    m_lifetimeToken.reset();
    m_releasing = true;
    {
        std::lock_guard<std::mutex> lock(m_fetchMutex);
        if (m_fetchThread.joinable()) m_fetchThread.join();
    }
    m_engine->unregisterAgent(this);
    m_engine->queuePluginEnabled(m_details->deviceId, false);
    m_engine->releaseRef();
}

std::shared_ptr<const DeviceAgentSettings_t> DeviceAgent::settingsSnapshot() const {
    std::lock_guard<std::mutex> lock(m_snapshotMutex);
    return m_snapshot;
}

std::map<DeviceAgentErrorType, std::string> DeviceAgent::errors() const {
    std::lock_guard<std::mutex> lock(m_errorsMutex);
    return m_errors;
}

void DeviceAgent::setError(DeviceAgentErrorType type, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_errorsMutex);
    m_errors[type] = text;
}

void DeviceAgent::clearError(DeviceAgentErrorType type) {
    std::lock_guard<std::mutex> lock(m_errorsMutex);
    m_errors.erase(type);
}

// ---- device parameters and the snapshot ----------------------------------------------

bool DeviceAgent::processDeviceParametersIfChanged(const json& qzAI) {
    if (jsonNestsDeeperThan(qzAI, kMaxJsonDepth)) {
        reportParametersError("The device's qzAI parameters nest too deeply.");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        if (m_parameters && m_parametersText == qzAI.dump()) return false;
    }
    processDeviceParameters(qzAI);
    return true;
}

void DeviceAgent::processDeviceParameters(const json& qzAI) {
    {
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        m_parameters = qzAI;
        m_parametersText = qzAI.dump();
    }
    clearError(DeviceAgentErrorType::DeviceParameters);
    rebuildSnapshot();
    pushManifest(manifestString());
}

void DeviceAgent::reportParametersError(const std::string& error) {
    logMessage("Error! Device %s: %s\n", m_details->deviceId.c_str(), error.c_str());
    setError(DeviceAgentErrorType::DeviceParameters, error);
}

void DeviceAgent::updateModelErrors() {
    const auto snapshot = settingsSnapshot();
    if (!snapshot) return;
    std::string failed;
    for (const auto& [id, model] : collectPipelineModels(snapshot->stages)) {
        if (model->downloadState.load() != ModelDownloadState::Failed) continue;
        failed += (failed.empty() ? "" : ", ") + model->name;
    }
    if (failed.empty()) clearError(DeviceAgentErrorType::ModelDownload);
    else setError(DeviceAgentErrorType::ModelDownload, "Models could not be downloaded: " + failed);
}

SettingsMap DeviceAgent::rebuildSnapshot(const SettingsMap* incoming) {
    std::lock_guard<std::mutex> rebuild(m_rebuildMutex);
    json parameters;
    SettingsMap received;
    DeviceAgentSettings_t base;
    {
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        parameters = m_parameters.value_or(json::object());
        received = m_received;
        base.cloudParametersReceived = m_cloudParametersReceived;
        base.availablePipelines = m_availablePipelines;
    }
    base.deviceAdminAddress = optionalText(parameters, "deviceAdminAddress");

    // The chosen pipeline: a cloud pipeline by uuid, else the device's own.
    const SettingsMap& choosing = incoming ? *incoming : received;
    const auto selected = choosing.find(keys::kSelectedPipeline);
    json pipeline = parameters.is_object() && parameters.contains("pipeline") ? parameters["pipeline"] : json();
    std::string source = "the device's own pipeline";
    if (selected != choosing.end()) {
        for (const auto& available : base.availablePipelines) {
            if (available.uuid != selected->second) continue;
            pipeline = parseOutsideJson(available.parameters, "A cloud pipeline");
            source = "cloud pipeline " + available.name;
            break;
        }
    }
    if (pipeline.is_string()) pipeline = parseOutsideJson(pipeline.get<std::string>(), "The device's pipeline text");

    std::string pipelineError;
    if (pipeline.is_null()) {
        // No pipeline assigned yet: no stages.
    } else if (!pipeline.is_object()) {
        pipelineError = "The pipeline (" + source + ") is not a JSON object.";
    } else if (const auto listed = pipeline.find("models"); listed != pipeline.end() && !listed->is_array()) {
        pipelineError = "The pipeline (" + source + ") has \"models\" that are not a JSON array.";
    } else {
        std::vector<std::string> modelErrors;
        const ModelMap models = m_engine->resolveModels(pipeline.value("models", json::array()), &modelErrors);
        auto parsed = parsePipelineNodes(pipeline.value("nodes", json::array()), models,
                                         m_engine->processorResolver());
        base.stages = std::move(parsed.stages);
        if (!parsed.error.empty()) {
            pipelineError = "The pipeline (" + source + ") cannot be used: " + parsed.error + ".";
        } else if (parsed.skippedNodes > 0 || !modelErrors.empty()) {
            pipelineError = "The pipeline (" + source + ") has " + std::to_string(parsed.skippedNodes) +
                            " node(s) without an assigned model" +
                            (modelErrors.empty() ? std::string() : "; " + modelErrors.front());
        }
    }
    if (pipelineError.empty()) {
        clearError(DeviceAgentErrorType::Pipeline);
    } else {
        logMessage("Error! Device %s: %s\n", m_details->deviceId.c_str(), pipelineError.c_str());
        setError(DeviceAgentErrorType::Pipeline, pipelineError);
    }

    std::shared_ptr<DeviceAgentSettings_t> next;
    if (incoming) {
        // Refused values keep what was stored before them.
        auto accepted = acceptReceivedSettings(received, *incoming, base);
        next = std::move(accepted.snapshot);
        received = std::move(accepted.stored);
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        m_received = received;
    } else {
        next = applyDeviceSettings(base, received);
    }
    std::lock_guard<std::mutex> lock(m_snapshotMutex);
    m_snapshot = std::move(next);
    return received;
}

// ---- cloud pipelines -------------------------------------------------------------------

bool DeviceAgent::startPipelineFetch() {
    std::lock_guard<std::mutex> lock(m_fetchMutex);
    if (m_releasing || m_fetchRunning) return false;
    {
        std::lock_guard<std::mutex> inputs(m_inputsMutex);
        if (m_cloudParametersReceived) return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_lastFetch != std::chrono::steady_clock::time_point{} && now - m_lastFetch < kPipelineFetchInterval)
        return false;
    if (!m_engine->tryBeginPipelineFetch()) return false;  // a later pass tries again
    if (m_fetchThread.joinable()) m_fetchThread.join();  // the previous fetch has ended
    m_fetchRunning = true;
    try {
        m_fetchThread = std::thread([this] { fetchPipelines(); });
    } catch (const std::system_error& e) {
        m_fetchRunning = false;  // a later pass tries again
        m_engine->endPipelineFetch();
        logMessage("Error! Device %s: could not start fetching the cloud pipelines: %s\n",
                   m_details->deviceId.c_str(), e.what());
        return false;
    }
    m_lastFetch = now;
    return true;
}

void DeviceAgent::fetchPipelines() {
    const auto pipelines =
        m_engine->registrationManager().fetchAvailablePipelines(m_details->deviceId, &m_releasing);
    if (pipelines && !m_releasing) {
        {
            std::lock_guard<std::mutex> lock(m_inputsMutex);
            m_availablePipelines = *pipelines;
            m_cloudParametersReceived = true;
        }
        logMessage("Device %s: %zu pipeline(s) available from the cloud.\n", m_details->deviceId.c_str(),
                   pipelines->size());
        rebuildSnapshot();
        m_engine->requestDeviceParametersRefresh();
    }
    m_engine->endPipelineFetch();
    m_fetchRunning = false;
}

void DeviceAgent::clearCloudPipelines() {
    {
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        m_cloudParametersReceived = false;
        m_availablePipelines.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_fetchMutex);
        m_lastFetch = {};
    }
    rebuildSnapshot();
}

// ---- frames ------------------------------------------------------------------------------

InferenceResultCallback DeviceAgent::resultCallback() const {
    std::weak_ptr<LifetimeToken> weakToken = m_lifetimeToken;
    return [weakToken](qz::sdk::Ptr<qz::sdk::analytics::ObjectMetadataPacket> objects,
                       qz::sdk::Ptr<qz::sdk::analytics::EventMetadataPacket> events,
                       std::vector<qz::sdk::Ptr<qz::sdk::analytics::ObjectTrackBestShotPacket>> bestShots) {
        const auto token = weakToken.lock();
        if (!token) return;
        std::lock_guard<std::mutex> lock(token->handlerMutex);
        DeviceAgent* agent = token->agent;
        if (!agent) return;
        if (objects) agent->pushMetadataPacket(objects);
        if (events) agent->pushMetadataPacket(events);
        for (const auto& bestShot : bestShots) {
            if (bestShot) agent->pushMetadataPacket(bestShot);
        }
    };
}

bool DeviceAgent::pushUncompressedVideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* videoFrame) {
    const auto snapshot = settingsSnapshot();
    if (!videoFrame || !snapshot || m_engine->cloudConnectionState() != CloudConnectionState::TokenObtained ||
        !(snapshot->deviceActive || ini().sendFramesOverride)) {
        ++m_framesDropped;
        return true;  // dropped silently
    }
    int64_t ageUs = 0;
    if (__builtin_sub_overflow(nowUs(), videoFrame->timestampUs(), &ageUs)) {
        ageUs = std::numeric_limits<int64_t>::max();  // a time stamp from before any clock: as old as can be
    }
    if (ageUs > kLateFrameUs) {
        logMessage("Warning! Frame of device %s is %lld ms old; sending it anyway.\n", m_details->deviceId.c_str(),
                   static_cast<long long>(ageUs / 1000));
    }
    ++m_framesAdmitted;
    m_engine->inferenceManager().sendInputMessage(
        qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame>::share(
            const_cast<qz::sdk::analytics::IUncompressedVideoFrame*>(videoFrame)),
        snapshot, m_details, resultCallback());
    return true;
}

// ---- settings ------------------------------------------------------------------------------

std::string DeviceAgent::manifestString() const {
    const auto snapshot = settingsSnapshot();
    return SettingsManager::createDeviceAgentManifestString(snapshot ? *snapshot : DeviceAgentSettings_t{},
                                                            m_engine->inferenceManager());
}

std::string DeviceAgent::settingsModel() const {
    return SettingsManager::createDeviceAgentSettingsModelString(m_engine, errors(), settingsSnapshot());
}

qz::sdk::Result<const qz::sdk::ISettingsResponse*> DeviceAgent::getIntegrationSideSettings() const {
    return new qz::sdk::SettingsResponse(settingsModel());
}

qz::sdk::Result<const qz::sdk::ISettingsResponse*> DeviceAgent::settingsReceived() {
    if (!m_engine->waitForDevicesPass(Engine::kDevicesPassWait)) {
        logInfo("Device %s: applying settings without a fresh pass over the device parameters.\n",
                m_details->deviceId.c_str());
    }
    const SettingsMap incoming = currentSettings();
    std::string previousPipeline;
    {
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        const auto it = m_received.find(keys::kSelectedPipeline);
        if (it != m_received.end()) previousPipeline = it->second;
    }
    const SettingsMap received = rebuildSnapshot(&incoming);
    saveSettingsCache(m_settingsCachePath, received);
    pushManifest(manifestString());
    const auto selected = received.find(keys::kSelectedPipeline);
    if (selected != received.end() && selected->second != previousPipeline) {
        m_engine->requestDeviceParametersRefresh();  // the models of another pipeline
    }
    return new qz::sdk::SettingsResponse(settingsModel());
}

void DeviceAgent::setReceivedSetting(const std::string& key, const std::string& value) {
    SettingsMap received;
    {
        std::lock_guard<std::mutex> lock(m_inputsMutex);
        m_received[key] = value;
        received = m_received;
    }
    rebuildSnapshot();
    saveSettingsCache(m_settingsCachePath, received);
}

qz::sdk::Result<const qz::sdk::IActiveSettingChangedResponse*> DeviceAgent::doGetSettingsOnActiveSettingChange(
    const qz::sdk::IActiveSettingChangedAction* action) {
    const std::string name = (action && action->activeSettingName()) ? action->activeSettingName() : "";
    return handleActiveSettingChange(name).releasePtr();
}

qz::sdk::Ptr<qz::sdk::ActiveSettingChangedResponse> DeviceAgent::handleActiveSettingChange(const std::string& name) {
    auto response = qz::sdk::makePtr<qz::sdk::ActiveSettingChangedResponse>();
    auto settings = qz::sdk::makePtr<qz::sdk::SettingsResponse>();
    RuntimesManager& runtimes = m_engine->runtimesManager();
    auto setClassSelection = [&](const std::string& key, bool all) {
        const auto snapshot = settingsSnapshot();
        const auto* stage = snapshot ? findStage(*snapshot, key) : nullptr;
        if (!stage) {
            logMessage("Warning! Device %s has no pipeline stage '%s'; class selection unchanged.\n",
                       m_details->deviceId.c_str(), key.c_str());
            return;
        }
        json selection = json::array();
        if (all) {
            const auto postprocessors = gatherPostprocessorDeclarations(m_engine->inferenceManager());
            for (const auto& entry : stageClassRange(*stage, postprocessors)) selection.push_back(entry.id);
        }
        const std::string settingName = stageItemName(keys::kVisualiseClasses, key);
        setReceivedSetting(settingName, selection.dump());
        settings->setValue(settingName, selection.dump());
    };

    const ActiveSettingAction action = activeSettingAction(name);
    switch (action.kind) {
        case ActiveSettingKind::ManageDevice: {
            const auto snapshot = settingsSnapshot();
            const std::string address = snapshot ? snapshot->deviceAdminAddress : std::string();
            if (address.empty()) logMessage("Warning! Device %s has no admin address.\n", m_details->deviceId.c_str());
            response->setActionResponse(qz::sdk::makePtr<qz::sdk::ActionResponse>(address, std::string()));
            break;
        }
        case ActiveSettingKind::CancelRuntimeDownload:
            logMessage("User requested to cancel the runtime download.\n");
            runtimes.requestCancelDownload();
            break;
        case ActiveSettingKind::ReselectRuntime: m_engine->requestRuntimeReselection(); break;
        case ActiveSettingKind::ResetSingleDevice: m_engine->requestDeviceReset(m_details->deviceId); break;
        case ActiveSettingKind::ResetAllDevices: m_engine->requestResetAllDevices(); break;
        case ActiveSettingKind::ClearCache: m_engine->requestClearCache(); break;
        case ActiveSettingKind::RetryModelDownloads: m_engine->requestModelDownloadRetry(); break;
        case ActiveSettingKind::ChooseRuntime: m_engine->requestRuntimeChoice(action.argument); break;
        case ActiveSettingKind::TriggerReferenceRun:
            logMessage("Sending reference run: %s %s\n", m_details->deviceId.c_str(), action.argument.c_str());
            m_engine->inferenceManager().triggerReferenceRun(m_details->deviceId, action.argument);
            break;
        case ActiveSettingKind::SelectAllClasses: setClassSelection(action.argument, true); break;
        case ActiveSettingKind::DeselectAllClasses: setClassSelection(action.argument, false); break;
        case ActiveSettingKind::Unknown:
            logMessage("Warning! Device %s: unknown active setting '%s'.\n", m_details->deviceId.c_str(),
                       name.c_str());
            break;
    }
    settings->setModel(settingsModel());
    response->setSettingsResponse(settings);
    return response;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
