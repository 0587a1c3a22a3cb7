// InferenceManager: the engine-wide owner of the inference road.
//
// It owns the InferenceEngine (absent until the first start), the
// post-processing state, the external pre-processor map, the output-loop
// thread with its OutputQueue, the two semaphores that bound the input and
// output workers to N = min(MaxNumberConcurrentInputOutputThreads, 1024)
// each, and the two pools of threads that run those workers (each at most N
// threads, started on demand, kept idle between jobs and joined by the
// destructor, so nothing of the manager runs after it).
//
// Threads:
// - sendInputMessage runs on host frame threads, several at once; it never
//   blocks (every limit is tested without waiting; refused frames are logged).
// - triggerReferenceRun runs on host settings threads.
// - start, stopInferenceEngine, reloadExternalProcessors and
//   stopExternalProcessors run on the engine's runtime-manager loop thread or
//   its first device-agent request; they are serialised by a lifecycle mutex.
// - The output loop and the workers run on threads of their own.
//
// Replacing or destroying the engine: `accepting` is cleared, the host
// threads inside sendInputMessage are waited for (an intake counter; new
// intakes see `accepting` false and leave without being counted, so a flood
// of frames cannot hold the wait up), then every input and
// output permit is taken once (waitForWorkers), so no thread touches the
// engine while it is restarted, replaced or destroyed.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "records/external_processor_maps.h"
#include "records/model_details.h"
#include "records/device_agent_details.h"
#include "records/device_agent_settings.h"
#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"
#include "inference/restart_backoff.h"
#include "inference/worker_pool.h"
#include "inference/worker_semaphore.h"
#include "qz/sdk/analytics/i_uncompressed_video_frame.h"
#include "qz/sdk/ptr.h"

namespace qz::vms_server_plugins::analytics::qzai {

class MessagingManager;
class InferenceEngine;
class FrameBufferPool;
struct PostprocessingState;

class InferenceManager {
public:
    // Upper bound of the worker semaphores.
    static constexpr int kMaxWorkers = 1024;
    // N for a configured value: negative counts as 0, above 1024 as 1024.
    static int workerBound(int configured);

    // Reads N from the configuration (MaxNumberConcurrentInputOutputThreads).
    InferenceManager(std::string rootFolder, std::string serverFolder, MessagingManager& messagingManager);
    // The same with an explicit configured worker count (tests, tools).
    InferenceManager(std::string rootFolder, std::string serverFolder, MessagingManager& messagingManager,
                     int maxConcurrentWorkers);
    ~InferenceManager();

    InferenceManager(const InferenceManager&) = delete;
    InferenceManager& operator=(const InferenceManager&) = delete;

    // Offers one host frame to every top-level stage of the camera's pipeline.
    // Never blocks and never throws; all four arguments are released before it
    // returns (workers keep their own references).
    void sendInputMessage(qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame> frame,
                          std::shared_ptr<const DeviceAgentSettings_t> settings,
                          std::shared_ptr<const DeviceAgentDetails_t> details,
                          InferenceResultCallback callback);

    // Starts inference for the ready models of the map (download state 2), or
    // restarts the existing engine with them after draining the workers.
    void start(const ModelMap& models);
    // Stops and destroys the engine and the output loop; the next start
    // creates new ones. Before any start it only toggles `accepting`.
    void stopInferenceEngine();
    // Called on every pass of the engine loop: a runtime that is not running
    // although the models of the last start include a ready one (it failed to
    // initialise, or failed while running) is restarted with those models,
    // as a start restarts it, no sooner than the restart back-off allows.
    void restartFailedRuntime();
    // Returns when no input or output worker that started before the call is
    // still running.
    void waitForWorkers();

    void triggerReferenceRun(const std::string& deviceId, const std::string& stageKey);
    void reloadExternalProcessors();
    void stopExternalProcessors();

    // The external processor maps, ordered by name.
    const ExternalPreprocessorMap& externalPreprocessors() const;
    const ExternalPostprocessorMap& externalPostprocessors() const;

    // Inspection (tests, tools).
    int maxWorkers() const { return m_maxWorkers; }
    bool accepting() const { return m_accepting.load(); }
    bool hasEngine() const;
    int freeInputPermits() const { return m_inputPermits.count(); }
    int freeOutputPermits() const { return m_outputPermits.count(); }
    PostprocessingState& postprocessingState() { return *m_postprocessingState; }

private:
    struct InputJob;
    friend class IntakeGuard;
    friend void chaining(InferenceManager&, std::shared_ptr<InferenceInput_t>, TensorSetPtr,
                         const PostprocessingResult&);

    // Hands a child stage's request straight to the engine: no input permit,
    // no room check; the engine frees `tensors` on any refusal. Called by
    // chaining on output workers, which hold their output permit, so the
    // engine is neither replaced nor destroyed meanwhile. Without an engine
    // it logs and frees.
    void sendChildInput(std::shared_ptr<InferenceInput_t> request, TensorSetPtr tensors);

    // Body of one input worker: the rest of the preprocessing and the
    // hand-off to the engine.
    void processAndSendInput(InputJob& job);
    // Body of the output-loop thread and of one output worker.
    void inferenceOutputLoop(std::stop_token stopToken);
    void processOutput(InferenceOutput& entry);

    // Clears `accepting`, then waits until no host thread is inside
    // sendInputMessage (new intakes see the flag and leave uncounted).
    void pauseIntake();
    void stopOutputLoop();
    void discardQueuedOutputs();
    // Restarts or creates the engine with `models` while intake is paused and
    // no worker runs; under m_lifecycleMutex.
    void restartEngine(const ModelMap& models);

    std::string m_rootFolder;
    MessagingManager& m_messagingManager;
    // Written only under m_lifecycleMutex while intake is paused and every
    // worker permit is held; read by intakes and workers.
    std::unique_ptr<InferenceEngine> m_engine;
    // The models of the last start and the pace of failure restarts; under
    // m_lifecycleMutex.
    ModelMap m_startedModels;
    RestartBackoff m_restartBackoff;
    std::unique_ptr<PostprocessingState> m_postprocessingState;
    ExternalPreprocessorMap m_externalPreprocessors;
    std::jthread m_outputLoop;
    const int m_maxWorkers;
    WorkerSemaphore m_inputPermits;
    WorkerSemaphore m_outputPermits;
    OutputQueue m_outputQueue;
    // Buffers of the frame road's RGB frames, reused while inference runs.
    std::shared_ptr<FrameBufferPool> m_framePool;
    std::atomic<bool> m_accepting{true};
    std::atomic<int> m_activeIntakes{0};
    mutable std::mutex m_lifecycleMutex;  // start, stop, reload, destruction
    // Last members: destroyed first, should the destructor body not have
    // joined them already.
    WorkerPool m_inputWorkers;
    WorkerPool m_outputWorkers;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
