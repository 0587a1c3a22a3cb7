// qzai::DeviceAgent: one camera's agent.
//
// It owns the camera's settings snapshot (immutable, replaced whole), built
// from three inputs: the device's parameters on the host server (handed in by
// the engine's loop), the pipelines the cloud offers for the device (fetched
// on the agent's own pipeline-fetch thread) and the settings the host sent
// (loaded from the settings cache until the host sends them). The pipeline
// chosen by `selectedPipeline` (a cloud pipeline's uuid, else the device's
// own "Custom" one) is parsed into stages and the settings are applied on top.
//
// Frames pass to the inference manager only while the agent has a snapshot,
// the engine holds a cloud token and the camera is active (or the
// configuration forces frames through); all other frames are dropped
// silently. Results come back through a callback that holds only a weak
// reference to the agent's LifetimeToken and pushes, under the token's
// handler mutex, the object packet, the event packet and each best shot.
//
// Creation queues "PluginEnabled" true with the engine; release resets the
// token, stops a running runtime download, joins the pipeline-fetch thread,
// leaves the engine and queues "PluginEnabled" false (the engine's loop
// publishes them, so neither waits on the host server). The agent keeps a reference on its
// engine. Threads: host threads (SDK hooks, frames), the engine's loop thread
// and the agent's fetch thread; the snapshot, the inputs and the errors are
// guarded by mutexes of their own; snapshot rebuilds are serialised.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "records/device_agent_details.h"
#include "records/device_agent_settings.h"
#include "records/device_agent_error_type.h"
#include "engine/settings_applier.h"
#include "inference/inference_types.h"
#include "qz/sdk/analytics/helpers/consuming_device_agent.h"

namespace qz::sdk {
class ActiveSettingChangedResponse;
}

namespace qz::vms_server_plugins::analytics::qzai {

class Engine;

class DeviceAgent final : public qz::sdk::analytics::ConsumingDeviceAgent {
public:
    // Frames older than this are still sent, with a warning.
    static constexpr int64_t kLateFrameUs = 500'000;
    // Minimum time between two cloud pipeline fetches of one device.
    static constexpr std::chrono::seconds kPipelineFetchInterval{5};

    struct LifetimeToken {
        std::mutex handlerMutex;
        DeviceAgent* agent = nullptr;  // null once the agent is being released
    };

    DeviceAgent(Engine* engine, const qz::sdk::IDeviceInfo* deviceInfo);
    ~DeviceAgent() override;

    std::shared_ptr<const DeviceAgentSettings_t> settingsSnapshot() const;
    std::shared_ptr<const DeviceAgentDetails_t> details() const { return m_details; }
    std::map<DeviceAgentErrorType, std::string> errors() const;
    const std::string& settingsCachePath() const { return m_settingsCachePath; }

    // Loop thread: takes the device's "qzAI" parameters; when they differ
    // from the last ones, rebuilds the snapshot and pushes the manifest. True
    // when something changed.
    bool processDeviceParametersIfChanged(const nlohmann::json& qzAI);
    void processDeviceParameters(const nlohmann::json& qzAI);
    void reportParametersError(const std::string& error);
    void updateModelErrors();

    // Starts the pipeline-fetch thread unless the cloud's pipelines arrived,
    // a fetch runs, the last one was too recent, the agent is released or the
    // engine has no fetch place free. True when it started one.
    bool startPipelineFetch();
    // Forgets the cloud's pipelines (after a reset) so they are fetched again.
    void clearCloudPipelines();

    // Frames that went on to the inference manager, and frames dropped.
    uint64_t framesAdmitted() const { return m_framesAdmitted.load(); }
    uint64_t framesDropped() const { return m_framesDropped.load(); }

    // The handler the inference manager's workers call for this camera.
    InferenceResultCallback resultCallback() const;

    qz::sdk::Ptr<qz::sdk::ActiveSettingChangedResponse> handleActiveSettingChange(const std::string& name);

protected:
    std::string manifestString() const override;
    qz::sdk::Result<const qz::sdk::ISettingsResponse*> settingsReceived() override;
    qz::sdk::Result<const qz::sdk::ISettingsResponse*> getIntegrationSideSettings() const override;
    bool pushUncompressedVideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* videoFrame) override;
    qz::sdk::Result<const qz::sdk::IActiveSettingChangedResponse*> doGetSettingsOnActiveSettingChange(
        const qz::sdk::IActiveSettingChangedAction* action) override;

private:
    // Parses the chosen pipeline and applies the stored settings. With
    // `incoming` (settings the host sent), those are checked first and what
    // is accepted becomes the stored map. Returns the stored map.
    SettingsMap rebuildSnapshot(const SettingsMap* incoming = nullptr);
    void setError(DeviceAgentErrorType type, const std::string& text);
    void clearError(DeviceAgentErrorType type);
    std::string settingsModel() const;
    void setReceivedSetting(const std::string& key, const std::string& value);
    void fetchPipelines();

    Engine* const m_engine;
    const std::shared_ptr<const DeviceAgentDetails_t> m_details;
    const std::string m_settingsCachePath;
    std::shared_ptr<LifetimeToken> m_lifetimeToken;

    mutable std::mutex m_snapshotMutex;
    std::shared_ptr<const DeviceAgentSettings_t> m_snapshot;

    // Inputs of the snapshot.
    mutable std::mutex m_inputsMutex;
    std::optional<nlohmann::json> m_parameters;  // the device's "qzAI"
    std::string m_parametersText;
    SettingsMap m_received;
    bool m_cloudParametersReceived = false;
    std::vector<AvailablePipeline_t> m_availablePipelines;

    std::mutex m_rebuildMutex;  // one rebuild at a time

    mutable std::mutex m_errorsMutex;
    std::map<DeviceAgentErrorType, std::string> m_errors;

    std::mutex m_fetchMutex;
    std::thread m_fetchThread;
    std::atomic<bool> m_fetchRunning{false};
    std::chrono::steady_clock::time_point m_lastFetch{};
    std::atomic<bool> m_releasing{false};

    std::atomic<uint64_t> m_framesAdmitted{0};
    std::atomic<uint64_t> m_framesDropped{0};
};

}  // namespace qz::vms_server_plugins::analytics::qzai
