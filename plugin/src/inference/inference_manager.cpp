#include "inference/inference_manager.h"

#include "inference/processors/postprocessor_exchanges.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/ini.h"
#include "common/log.h"
#include "common/messaging_manager.h"
#include "common/frame_buffer_pool.h"
#include "inference/inference_engine.h"
#include "external/processor_config.h"
#include "inference/processors/processor_loading.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Idle RGB frame buffers kept for the frame road: enough to absorb the ups
// and downs of the frames in flight without holding much memory unused.
constexpr size_t kIdleFrameBuffers = 4;

// Clears `accepting` for the lifetime of the guard and sets it again at the
// end, also when the work in between throws.
class AcceptingPause {
public:
    explicit AcceptingPause(std::atomic<bool>& accepting) : m_accepting(accepting) {}
    ~AcceptingPause() { m_accepting.store(true); }
    AcceptingPause(const AcceptingPause&) = delete;
    AcceptingPause& operator=(const AcceptingPause&) = delete;

private:
    std::atomic<bool>& m_accepting;
};

}  // namespace

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
      m_postprocessingState(std::make_unique<PostprocessingState>(m_rootFolder)),
      m_maxWorkers(workerBound(maxConcurrentWorkers)),
      m_inputPermits(m_maxWorkers, kMaxWorkers),
      m_outputPermits(m_maxWorkers, kMaxWorkers),
      m_framePool(std::make_shared<FrameBufferPool>(kIdleFrameBuffers)),
      m_inputWorkers(m_maxWorkers),
      m_outputWorkers(m_maxWorkers) {
    logMessage("Using Kelvane root folder: %s\n", m_rootFolder.c_str());
    installPostprocessorExchanges(*m_postprocessingState);
}

InferenceManager::~InferenceManager() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    pauseIntake();
    stopOutputLoop();
    waitForWorkers();
    if (m_engine) {
        m_engine->setState(InferenceEngine::kStateStopping);
        m_engine->stop();
    }
    discardQueuedOutputs();
    m_externalPreprocessors.clear();
    m_postprocessingState.reset();  // saves the dumping cache
    m_engine.reset();
    // The worker pools, destroyed first among the members, join their idle
    // threads: nothing of the manager runs once it is gone.
}

void InferenceManager::pauseIntake() {
    m_accepting.store(false);
    // An intake that entered before the flag changed finishes its pass over
    // the stages (it does no waiting of its own); one that comes later sees
    // the flag and leaves without being counted.
    for (int spins = 0; m_activeIntakes.load() != 0; ++spins) {
        if (spins < 64)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void InferenceManager::stopOutputLoop() {
    if (!m_outputLoop.joinable()) return;
    m_outputLoop.request_stop();
    {
        // Taking the queue's mutex orders the stop request before the loop's
        // next check, so the wake-up cannot fall between check and wait.
        std::lock_guard<std::mutex> lock(m_outputQueue.mutex);
    }
    m_outputQueue.condition.notify_all();
    m_outputLoop.join();
    m_outputLoop = std::jthread();
    logInfo("Stopped inference output loop\n");
}

void InferenceManager::discardQueuedOutputs() {
    std::deque<InferenceOutput> dropped;
    {
        std::lock_guard<std::mutex> lock(m_outputQueue.mutex);
        dropped.swap(m_outputQueue.items);
        m_outputQueue.count.store(0);
    }
}

void InferenceManager::start(const ModelMap& models) {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    if (models.empty()) return;
    bool anyReady = false;
    for (const auto& [id, model] : models) {
        if (model && model->downloadState.load() == ModelDownloadState::Ready)
            anyReady = true;
        else
            logMessage("Not starting inference engine for model %s\n", id.c_str());
    }
    if (!anyReady) return;

    m_startedModels = models;
    // A refresh with the models already running leaves intake alone.
    if (m_engine && m_engine->runsModels(models)) return;
    restartEngine(models);
    // A runtime that did not come up waits out the back-off before the
    // engine loop tries it again.
    if (m_engine->state() != InferenceEngine::kStateRunning)
        m_restartBackoff.restarted(RestartBackoff::Clock::now());
}

void InferenceManager::restartEngine(const ModelMap& models) {
    {
        // Host threads and workers must not touch the engine while it is
        // restarted or created; `accepting` comes back even when this throws.
        AcceptingPause pause(m_accepting);
        pauseIntake();
        if (m_engine) {
            waitForWorkers();
            m_engine->start(models);
        } else {
            m_engine = std::make_unique<InferenceEngine>(m_rootFolder, models, m_outputQueue, m_messagingManager);
        }
    }
    if (!m_outputLoop.joinable()) {
        logMessage("Starting output loop thread...\n");
        m_outputLoop = std::jthread([this](std::stop_token stopToken) { inferenceOutputLoop(stopToken); });
    }
}

void InferenceManager::restartFailedRuntime() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    if (!m_engine) return;
    const auto now = RestartBackoff::Clock::now();
    const int32_t state = m_engine->state();
    if (state == InferenceEngine::kStateRunning) {
        m_restartBackoff.running(now);
        return;
    }
    bool anyReady = false;
    for (const auto& [id, model] : m_startedModels)
        anyReady = anyReady || (model && model->downloadState.load() == ModelDownloadState::Ready);
    if (!anyReady || !m_restartBackoff.due(now)) return;
    logMessage("Restarting the AI runtime after a failure (state %d).\n", static_cast<int>(state));
    m_restartBackoff.restarted(now);
    restartEngine(m_startedModels);
}

void InferenceManager::stopInferenceEngine() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    if (m_engine) m_engine->setState(InferenceEngine::kStateStopping);
    AcceptingPause pause(m_accepting);
    pauseIntake();
    stopOutputLoop();
    waitForWorkers();
    m_engine.reset();
    // Outputs of the old engine would otherwise reach the cameras late, after
    // the next start.
    discardQueuedOutputs();
    m_framePool->clear();
}

void InferenceManager::waitForWorkers() {
    for (WorkerSemaphore* semaphore : {&m_inputPermits, &m_outputPermits}) {
        for (int i = 0; i < m_maxWorkers; ++i) semaphore->acquire();
        for (int i = 0; i < m_maxWorkers; ++i) semaphore->release();
    }
}

void InferenceManager::triggerReferenceRun(const std::string& deviceId, const std::string& stageKey) {
    m_postprocessingState->requestReferenceRun(deviceId, stageKey);
}

// Runs once per engine, at its first device agent: a second run would start
// every child again.
void InferenceManager::reloadExternalProcessors() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    initExternalPostprocessors(*m_postprocessingState);
    loadExternalPreprocessors(m_externalPreprocessors, m_rootFolder);
}

// Ends the exchanges in progress (their sends and waits for answers) and asks
// every child to exit; the records are destroyed with the manager.
void InferenceManager::stopExternalProcessors() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    auto stop = [](auto& record) {
        if (record->responseWaiters) record->responseWaiters->cancelAll();
        if (!record->process) return;
        record->process->cancelSends();
        record->process->sendGracefulExit();
    };
    for (const auto& [name, record] : m_externalPreprocessors) stop(record);
    for (const auto& [name, record] : m_postprocessingState->externalPostprocessors) stop(record);
}

const ExternalPreprocessorMap& InferenceManager::externalPreprocessors() const { return m_externalPreprocessors; }

const ExternalPostprocessorMap& InferenceManager::externalPostprocessors() const {
    return m_postprocessingState->externalPostprocessors;
}

bool InferenceManager::hasEngine() const {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    return m_engine != nullptr;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
