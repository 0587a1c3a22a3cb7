// qzai::Engine: the plug-in's engine. Hands out one device agent per camera
// and runs the runtime-manager loop, the only thread it starts itself.
//
// Members are built in this order and destroyed in reverse: the library use
// (see library_use.h), the log closer,
// the notice store, the runtimes manager, the inference manager, the model
// cache, then the server and cloud clients. The destructor stops the external
// processors, sets the shutdown flag, stops the model cache, cancels a runtime
// download, wakes and joins the loop, publishes the "PluginEnabled" states
// still queued and waits for the host to release the REST handlers it was
// given (both within kShutdownNetworkBound; a handler still held then keeps
// the library loaded for good); the inference manager then drains its
// workers as it is destroyed, and the log is closed last.
//
// Each loop pass (at most one second apart, sooner when woken): the agents'
// queued "PluginEnabled" states, cloud check (once the token is obtained, and
// on later passes until they succeed: this server's parameters and the device
// resets the host asks for), runtime state, at most one recovery
// request (reset > clear cache > retry downloads), then the devices'
// parameters: changed pipelines go to their agents, models are downloaded and
// inference is (re)started. An exception in a pass is logged and the next
// pass follows.
//
// Threads and locks: host threads call the SDK hooks and the request
// functions; the loop thread runs the passes. The agents map has its own
// mutex, held while the loop hands parameters to the agents (an agent's
// release waits for it); the models map has its own and is never held while
// the agents mutex is taken. Agents keep a reference on the engine, so the
// engine outlives every agent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/messaging_manager.h"
#include "engine/library_use.h"
#include "engine/model_cache.h"
#include "engine/pipeline_parser.h"
#include "records/model_details.h"
#include "records/cloud_connection_state.h"
#include "engine/registration_manager.h"
#include "engine/server_client.h"
#include "inference/inference_manager.h"
#include "qz/sdk/analytics/helpers/engine.h"
#include "runtimes/runtimes_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

class Plugin;
class DeviceAgent;

// Notice ids of the recovery requests (Info while they wait for the loop).
inline constexpr const char* kResetRequestedNotice = "RESET_REQUESTED";
inline constexpr const char* kClearCacheRequestedNotice = "CLEAR_CACHE_REQUESTED";
inline constexpr const char* kModelRetryRequestedNotice = "MODEL_RETRY_REQUESTED";

class Engine final : public qz::sdk::analytics::Engine {
public:
    // How long settingsReceived waits for a fresh pass over the devices.
    static constexpr std::chrono::milliseconds kDevicesPassWait{5000};
    // How long the engine's release may wait on the host server.
    static constexpr std::chrono::milliseconds kShutdownNetworkBound{1000};

    Engine(Plugin* plugin, qz::sdk::UtilityProvider provider, std::string dataDirectory);
    ~Engine() override;

    Plugin* plugin() const { return m_plugin; }
    const std::string& dataDirectory() const { return m_dataDirectory; }
    const std::string& socketPath() const { return m_socketPath; }
    MessagingManager& messagingManager() { return m_messagingManager; }
    const MessagingManager& messagingManager() const { return m_messagingManager; }
    RuntimesManager& runtimesManager() { return m_runtimesManager; }
    const RuntimesManager& runtimesManager() const { return m_runtimesManager; }
    InferenceManager& inferenceManager() { return *m_inferenceManager; }
    const InferenceManager& inferenceManager() const { return *m_inferenceManager; }
    ModelCache& modelCache() { return m_modelCache; }
    RegistrationManager& registrationManager() { return m_registration; }
    const RegistrationManager& registrationManager() const { return m_registration; }
    const ServerClient& serverClient() const { return m_server; }
    CloudConnectionState cloudConnectionState() const { return m_registration.state.load(); }
    bool shuttingDown() const { return m_shutdown.load(); }
    const std::atomic<bool>& shutdownFlag() const { return m_shutdown; }

    // Requests from the device agents' buttons; the loop carries them out.
    void requestRuntimeReselection();
    // The user's runtime choice: taken only while that runtime is offered.
    void requestRuntimeChoice(const std::string& name);
    void requestDeviceReset(const std::string& deviceId);
    void requestResetAllDevices();
    void requestClearCache();
    void requestModelDownloadRetry();
    // Wakes the loop for a pass over the devices' parameters and models.
    void requestDeviceParametersRefresh();
    // Waits until a pass that started after the call has ended, at most
    // `bound`; false on time-out. Returns at once when the loop is not running.
    bool waitForDevicesPass(std::chrono::milliseconds bound);

    // The engine-wide records of a pipeline's models: a known model of the
    // same revision keeps its record (and download state); others get a fresh
    // one. Malformed descriptions are skipped and described in *errors.
    ModelMap resolveModels(const nlohmann::json& descriptions, std::vector<std::string>* errors);
    ProcessorResolver processorResolver() const;

    void patchServerRuntimeInformation(const std::string& runtimeName, const std::string& mimeType);
    bool updateServerParameters();
    // Fills the decoding part of `preparation` from the model's
    // "raw_postprocessing.json"; without the file it stays as it was.
    void loadRawPostprocessingConfig(const ModelDetails_t& model, ModelPreparation& preparation) const;
    // Stores a description's "RawPostprocessing" object as that file, or
    // removes the file when the description carries none.
    void writeRawPostprocessingConfig(const ModelDetails_t& model, const nlohmann::json& description) const;

    void registerAgent(DeviceAgent* agent);
    void unregisterAgent(DeviceAgent* agent);

    // At most this many agents fetch their cloud pipelines at once: each fetch
    // runs on a thread of its agent, and the HTTP client may start one more for
    // the name lookup, so an unreachable cloud would otherwise hold two threads
    // per camera. The loop lets the agents take turns.
    static constexpr int kMaxPipelineFetches = 2;
    // Takes a fetch place; false when all are taken. Any thread.
    bool tryBeginPipelineFetch();
    // Gives a place taken by tryBeginPipelineFetch back.
    void endPipelineFetch();
    // Queues the device's "PluginEnabled" state for the loop to publish (the
    // latest state of a device wins); host threads never wait on the server.
    void queuePluginEnabled(const std::string& deviceId, bool enabled);

    // Passes completed by the loop (tests and waits).
    uint64_t passCount() const;

protected:
    std::string manifestString() const override;
    qz::sdk::Result<qz::sdk::analytics::IDeviceAgent*> doObtainDeviceAgent(
        const qz::sdk::IDeviceInfo* deviceInfo) override;

private:
    void runtimeManagerLoop();
    void runPass();
    bool runtimeStateStep();  // false: the pass ends here
    void carryOutRecoveryRequest();
    // The ids the cloud reset.
    std::set<std::string> resetDevices(const std::set<std::string>& deviceIds);
    // False when the device list could not be read.
    bool resetDevicesAskedByHost();
    void devicesStep();
    void refreshModels();
    void publishAgentNotices();
    void publishPluginEnabled(const ServerClient& client);
    void wake();

    // The library's use by the host ends, at the latest, after the engine is
    // wholly gone (first member, so destroyed last).
    LibraryUse m_libraryUse;
    // Closes the log when the engine is gone.
    struct LogCloser {
        ~LogCloser();
    };
    LogCloser m_logCloser;

    Plugin* const m_plugin;
    const qz::sdk::UtilityProvider m_provider;
    const std::string m_dataDirectory;
    std::atomic<bool> m_shutdown{false};

    MessagingManager m_messagingManager;
    RuntimesManager m_runtimesManager;
    std::unique_ptr<InferenceManager> m_inferenceManager;
    ModelCache m_modelCache;
    std::string m_socketPath;
    RegistrationManager m_registration;
    ServerClient m_server;

    mutable std::mutex m_modelsMutex;
    ModelMap m_models;

    mutable std::mutex m_agentsMutex;
    std::map<std::string, DeviceAgent*> m_agents;
    std::atomic<int> m_pipelineFetches{0};
    std::string m_lastFetchingAgent;  // loop thread only: the fetches' turns

    // Recovery requests.
    std::mutex m_requestsMutex;
    std::set<std::string> m_resetRequests;
    bool m_resetAllRequested = false;
    std::atomic<bool> m_clearCacheRequested{false};
    std::atomic<bool> m_retryDownloadsRequested{false};
    std::atomic<bool> m_modelsDirty{false};

    struct QueuedPluginEnabled {
        bool enabled = false;
        int failures = 0;  // a state is given up after a few failed tries
    };
    std::mutex m_publishMutex;
    std::map<std::string, QueuedPluginEnabled> m_pluginEnabledToPublish;

    // Loop thread only: work left over from the pass that obtained the token.
    bool m_serverParametersPending = false;
    bool m_hostResetsPending = false;

    // Loop thread, its wake flag and the pass counter.
    std::once_flag m_loopStarted;
    std::thread m_loop;
    mutable std::mutex m_loopMutex;
    std::condition_variable m_loopWake;
    std::condition_variable m_passDone;
    bool m_wakeRequested = false;
    uint64_t m_passes = 0;         // passes completed
    uint64_t m_passesStarted = 0;
    bool m_loopRunning = false;
    std::string m_cloudSystemId;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
