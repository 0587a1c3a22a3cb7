#include "inference/inference_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>

#include "common/file_utils.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/messaging_manager.h"
#include "common/scoped_timer.h"
#include "inference/output_validation.h"
#include "inference/runtime_args.h"
#include "common/qzai_crypto.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kReportIntervalNs = 1000000000;
constexpr size_t kKeySize = 32;
// Slots are checked for expired requests at most this often.
constexpr int64_t kSweepIntervalNs = 250000000;
// Generations a slot goes through before they start again at 0; every
// request id stays below 2^32.
constexpr uint32_t kGenerations = UINT32_MAX / InferenceEngine::kSlotCount;

uint32_t requestId(size_t slot, uint32_t generation) {
    return generation * static_cast<uint32_t>(InferenceEngine::kSlotCount) + static_cast<uint32_t>(slot);
}

// A slot's word: the generation in the high half; in the low half the state
// (free, reserved, in flight) and two flags. A free slot has no flags. A
// reserved slot with the sending flag is one the sweep holds for a moment.
constexpr uint64_t kSlotStateMask = 0x3;
constexpr uint64_t kSlotFree = 0;
constexpr uint64_t kSlotReserved = 1;
constexpr uint64_t kSlotInFlight = 2;
constexpr uint64_t kSlotSending = 0x4;  // the worker's enqueue call has not returned
constexpr uint64_t kSlotExpired = 0x8;  // timed out while its enqueue call ran

uint64_t slotWord(uint32_t generation, uint64_t bits) {
    return (static_cast<uint64_t>(generation) << 32) | bits;
}

uint32_t slotGeneration(uint64_t word) {
    return static_cast<uint32_t>(word >> 32);
}

uint64_t slotState(uint64_t word) {
    return word & kSlotStateMask;
}

uint32_t nextGeneration(uint32_t generation) {
    return (generation + 1) % kGenerations;
}

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
}

int32_t engineWindow() {
    const int configured = ini().EngineThroughputWindowSize;
    if (configured <= 0) {
        logMessage("Warning! EngineThroughputWindowSize %d is not positive; using %d.\n", configured,
            static_cast<int>(ThroughputRing::kDefaultWindow));
    }
    return configured;
}

// Decrypts the model file into its decrypted-copy path with the key file's
// first 32 bytes.
bool decryptModel(const ModelDetails_t& model) {
    const auto key = readBinaryFile(model.keyFilePath);
    if (!key || key->size() < kKeySize || model.decryptedPath.empty()) return false;
    return decryptFileAes256Gcm(key->data(), model.modelFilePath, model.decryptedPath);
}

}  // namespace

InferenceEngine::InferenceEngine(const std::string& rootFolder, const ModelMap& models, OutputQueue& outputQueue,
    MessagingManager& messagingManager):
    m_workingDir((fs::path(rootFolder) / "inference_engine").string()),
    m_outputQueue(outputQueue),
    m_messagingManager(messagingManager),
    m_runtime((fs::path(m_workingDir) / "RuntimeLibrary.dll").string()),
    m_engineInputRing(engineWindow()),
    m_engineOutputRing(ini().EngineThroughputWindowSize),
    m_capacity(ini().MaxNumberConcurrentInferences),
    m_requestTimeoutNs(static_cast<int64_t>(ini().InferenceRequestTimeout) * 1000000000) {
    if (!prepareWorkingDir()) return;
    // A constructor that throws runs no destructor: whatever the runtime was
    // given (its threads, the decrypted model copies) is released here, before
    // the members close the library.
    try {
        initializeRuntime(models);
        startOutputThread();
    } catch (...) {
        stop();
        throw;
    }
}

InferenceEngine::~InferenceEngine() {
    try {
        stop();
    } catch (const std::exception& e) {
        logMessage("Error! Stopping the inference engine failed: %s\n", e.what());
    } catch (...) {
        logMessage("Error! Stopping the inference engine failed.\n");
    }
}

bool InferenceEngine::prepareWorkingDir() {
    std::error_code ec;
    fs::create_directories(m_workingDir, ec);
    if (ec) {
        logMessage("Error! Could not create working directory %s: %s\n", m_workingDir.c_str(), ec.message().c_str());
        m_state.store(kStateFailed);
        return false;
    }
    return true;
}

void InferenceEngine::startOutputThread() {
    m_outputThread = std::jthread([this](std::stop_token stopToken) { outputLoop(stopToken); });
}

void InferenceEngine::initializeRuntime(const ModelMap& models) {
    m_state.store(kStateInitialising);
    const RuntimeArgList args = loadRuntimeArgs(m_workingDir);
    const RuntimeArgList::View argsView(args);
    if (m_runtime.init(*argsView.get()) != QZ_RUNTIME_OK) {
        const std::string error = m_runtime.getError();
        logMessage("Error! Runtime initialization failed: %s\n", error.c_str());
        m_messagingManager.addMessage(kRuntimeNoticeId, "Failed to initialize the AI runtime: " + error,
            MessagingManager::MessageType::Warning);
        m_state.store(kStateFailed);
        return;
    }
    logMessage("Runtime loaded successfully: %s %s\n", m_runtime.getName(), m_runtime.getVersion());

    std::vector<std::string> paths;
    for (const auto& [id, model]: models) {
        if (!model || model->downloadState.load() != ModelDownloadState::Ready) continue;
        if (!decryptModel(*model)) {
            model->downloadState.store(ModelDownloadState::Failed);
            model->addError("Could not decrypt model file: " + model->modelFilePath);
            logMessage("Error! Could not decrypt model file: %s\n", model->modelFilePath.c_str());
            continue;
        }
        m_loadedModels[id] = model;
        m_loadedVersions[id] = model->lastModified;
        m_modelIndex[id] = static_cast<uint32_t>(m_loadedModels.size() - 1);
        m_decryptedCopies.push_back(model->decryptedPath);
        paths.push_back(model->decryptedPath);
        logInfo("Adding model to runtime startup: %s\n", model->decryptedPath.c_str());
    }

    std::vector<RuntimeModelEntry> entries(paths.size(), RuntimeModelEntry{});
    for (size_t i = 0; i < paths.size(); ++i) entries[i].modelPath = paths[i].c_str();
    const int32_t result =
        m_runtime.loadModels(static_cast<uint32_t>(entries.size()), entries.empty() ? nullptr : entries.data());
    if (result == QZ_RUNTIME_OK) {
        logMessage("Runtime initialized sucessfully.\n");
        m_messagingManager.removeMessage(kRuntimeNoticeId);
        m_messagingManager.removeMessage(kTimeoutNoticeId);
        m_state.store(kStateRunning);
        return;
    }
    const std::string error = m_runtime.getError();
    logMessage("Warning! Runtime could not load models: %s\n", error.c_str());
    m_messagingManager.addMessage(kRuntimeNoticeId, "The AI runtime failed to load the assigned models: " + error,
        MessagingManager::MessageType::Warning);
    m_state.store(kStateFailed);
}

bool InferenceEngine::sameModels(const ModelMap& models) const {
    if (models.size() != m_loadedModels.size()) return false;
    auto loaded = m_loadedModels.begin();
    for (const auto& [id, model]: models) {
        if (id != loaded->first || !model) return false;
        if (model->lastModified != m_loadedVersions.at(id)) return false;
        ++loaded;
    }
    return true;
}

void InferenceEngine::start(const ModelMap& models) {
    // A runtime that failed (initialisation or a retrieve error) is restarted
    // even with the same models, so that it can recover.
    if (state() == kStateRunning && sameModels(models)) return;
    stop();
    m_loadedModels.clear();
    m_loadedVersions.clear();
    m_modelIndex.clear();
    if (!prepareWorkingDir()) return;
    initializeRuntime(models);
    startOutputThread();
    logMessage("Runtime initialized\n");
}

void InferenceEngine::stop() {
    m_state.store(kStateStopping);
    logMessage("Stopping runtime\n");
    if (m_outputThread.joinable()) {
        m_outputThread.request_stop();
        m_outputThread.join();
    }
    if (m_runtime.cleanup() != QZ_RUNTIME_OK)
        logMessage("Warning! Runtime cleanup failed: %s\n", m_runtime.getError());
    for (size_t i = 0; i < kSlotCount; ++i) {
        m_slots[i].reset();
        m_slotWords[i].store(slotWord(slotGeneration(m_slotWords[i].load()), kSlotFree));
    }
    m_inFlight.store(0);
    // deleteFile logs a failure and goes on: a stuck temporary file must not
    // keep inference down or escape from a destructor.
    for (const std::string& path: m_decryptedCopies) deleteFile(path);
    m_decryptedCopies.clear();
}

std::optional<uint32_t> InferenceEngine::runtimeModelIndex(const std::string& modelId) const {
    const auto it = m_modelIndex.find(modelId);
    if (it == m_modelIndex.end()) return std::nullopt;
    return it->second;
}

bool InferenceEngine::hasInputRoom() const {
    const int32_t inFlight = m_inFlight.load();
    logInfo("Inference engine input queue size: %zu\n", static_cast<size_t>(inFlight < 0 ? 0 : inFlight));
    return state() == kStateRunning && inFlight < m_capacity;
}

void InferenceEngine::recordInputTime(const DeviceAgentDetails_t& details) {
    std::lock_guard<std::mutex> lock(m_inputStatsMutex);
    const int64_t now = monotonicNs();
    m_deviceInputRings.try_emplace(details.deviceId, kDeviceWindow).first->second.add(now);
    m_engineInputRing.add(now);
}

void InferenceEngine::sendInput(std::shared_ptr<InferenceInput_t> request, TensorSet* tensors) {
    TensorSetPtr owned(tensors);  // freed on every rejection
    if (state() != kStateRunning) {
        logMessage("Warning! Inference Engine is not running. Rejecting input\n");
        return;
    }
    if (!request || !owned) {
        logMessage("Warning! Inference Engine received an empty input. Rejecting input\n");
        return;
    }
    ScopedTimer timer("sendInput");
    const ModelDetails_t* model = request->stage ? request->stage->model.get() : nullptr;
    const auto index = model ? m_modelIndex.find(model->id) : m_modelIndex.end();
    if (index == m_modelIndex.end()) {
        logInfo("Received input for model not in runtime: %s\n", model ? model->id.c_str() : "");
        return;
    }

    size_t slot = kSlotCount;
    uint32_t generation = 0;
    for (size_t i = 0; i < kSlotCount; ++i) {
        uint64_t word = m_slotWords[i].load(std::memory_order_relaxed);
        if (word != slotWord(slotGeneration(word), kSlotFree)) continue;
        if (m_slotWords[i].compare_exchange_strong(word, word | kSlotReserved, std::memory_order_acquire)) {
            slot = i;
            generation = slotGeneration(word);
            break;
        }
    }
    if (slot == kSlotCount) {
        logMessage("Error! No available input slot.\n");
        return;
    }
    const uint32_t id = requestId(slot, generation);
    logInfo("Enqueued input for model %s with ID %u\n", model->name.c_str(), id);
    m_slots[slot] = std::move(request);
    m_slotSentNs[slot].store(monotonicNs(), std::memory_order_relaxed);
    // Counted before the enqueue: the output may come back before the call
    // returns.
    m_inFlight.fetch_add(1);
    m_slotWords[slot].store(slotWord(generation, kSlotInFlight | kSlotSending), std::memory_order_release);
    timer.mark("cache");

    owned->id = id;
    int32_t result = QZ_RUNTIME_OK;
    try {
        result = m_runtime.enqueueInput(index->second, owned.get());
    } catch (...) {
        // A runtime that throws has not taken the set; the slot must not stay
        // taken by a request that can never be answered.
        finishSend(slot, generation, false);
        throw;
    }
    if (result == QZ_RUNTIME_OK) {
        owned.release();  // the runtime's now
        finishSend(slot, generation, true);
        timer.mark("enqueue");
        return;
    }
    logMessage("Warning: Failed to send input to runtime: %s\n", m_runtime.getError());
    finishSend(slot, generation, false);
}

void InferenceEngine::finishSend(size_t slot, uint32_t generation, bool accepted) {
    std::atomic<uint64_t>& word = m_slotWords[slot];
    uint64_t current = word.load(std::memory_order_acquire);
    for (;;) {
        // An answer took the request (and moved the generation on) already.
        if (slotGeneration(current) != generation || !(current & kSlotSending)) return;
        if (slotState(current) == kSlotReserved) {  // the sweep is marking it expired
            std::this_thread::yield();
            current = word.load(std::memory_order_acquire);
            continue;
        }
        const bool giveBack = !accepted || (current & kSlotExpired);
        const uint64_t next =
            giveBack ? slotWord(nextGeneration(generation), kSlotReserved) : current & ~kSlotSending;
        if (!word.compare_exchange_weak(current, next, std::memory_order_acq_rel)) continue;
        if (giveBack) {
            m_slots[slot].reset();
            word.store(slotWord(nextGeneration(generation), kSlotFree), std::memory_order_release);
            m_inFlight.fetch_sub(1);
        }
        return;
    }
}

void InferenceEngine::outputLoop(std::stop_token stopToken) {
    while (!stopToken.stop_requested()) {
        const int32_t current = state();
        if (current != kStateRunning) {
            logMessage("Inference Engine state is %d, breaking output loop.\n", static_cast<int>(current));
            return;
        }
        try {
            ScopedTimer timer("outputThread");
            uint64_t reserved = 0;
            TensorSet* output = nullptr;
            const int32_t result = m_runtime.retrieveOutput(&reserved, &output, kRetrieveTimeoutMs);
            reclaimExpiredSlots(monotonicNs());
            if (result == QZ_RUNTIME_TIMEOUT) {
                timer.mark("timeout");
                continue;
            }
            if (result != QZ_RUNTIME_OK) {
                const std::string error = m_runtime.getError();
                logMessage("Warning! Runtime gave error: %s\n", error.c_str());
                // Intake must refuse from now on: nothing would come back.
                // The owner restarts the runtime; until then the user is told.
                int32_t running = kStateRunning;
                if (m_state.compare_exchange_strong(running, kStateFailed)) {
                    m_messagingManager.addMessage(kRuntimeNoticeId, "The AI runtime stopped with an error: " + error,
                        MessagingManager::MessageType::Warning);
                }
                return;
            }
            if (!output) {
                logMessage("Warning! Runtime gave error: %s\n", "success reported without an output set");
                continue;
            }
            timer.mark("runtime output");
            handleOutput(TensorSetPtr(output), timer);
        } catch (const std::exception& e) {
            logMessage("Error! Inference engine output thread: %s\n", e.what());
        }
    }
}

void InferenceEngine::reclaimExpiredSlots(int64_t nowNs) {
    if (nowNs - m_lastSweepNs < kSweepIntervalNs || m_inFlight.load() <= 0) return;
    m_lastSweepNs = nowNs;
    for (size_t slot = 0; slot < kSlotCount; ++slot) {
        std::atomic<uint64_t>& word = m_slotWords[slot];
        uint64_t current = word.load(std::memory_order_acquire);
        if (slotState(current) != kSlotInFlight || (current & kSlotExpired)) continue;
        if (nowNs - m_slotSentNs[slot].load(std::memory_order_relaxed) < m_requestTimeoutNs) continue;
        const uint32_t generation = slotGeneration(current);
        const bool sending = current & kSlotSending;
        // Reserved under the old generation while the request is read, so
        // that neither an answer nor the worker can take it meanwhile.
        if (!word.compare_exchange_strong(current, slotWord(generation, kSlotReserved | (current & kSlotSending)),
                std::memory_order_acq_rel))
            continue;
        std::shared_ptr<InferenceInput_t> request;
        if (sending) {
            // The enqueue call has not returned: the slot is still the
            // worker's, which gives it back when the call returns.
            request = m_slots[slot];
            word.store(slotWord(generation, kSlotInFlight | kSlotSending | kSlotExpired), std::memory_order_release);
        } else {
            request = std::move(m_slots[slot]);
            word.store(slotWord(nextGeneration(generation), kSlotFree), std::memory_order_release);
            m_inFlight.fetch_sub(1);
        }
        m_slotExpired[slot].add(generation);
        reportExpired(requestId(slot, generation), request, sending);
    }
}

bool InferenceEngine::ExpiredGenerations::has(uint32_t generation) const {
    return std::find(generations.begin(), generations.end(), generation) != generations.end();
}

void InferenceEngine::reportExpired(uint32_t id, const std::shared_ptr<InferenceInput_t>& request, bool sending) {
    const ModelDetails_t* model = request && request->stage ? request->stage->model.get() : nullptr;
    const char* device = request && request->details ? request->details->deviceId.c_str() : "";
    logMessage("Warning! Inference request %u (model %s, device %s, frame %lld) got no answer within %d s; "
               "its slot is given back%s\n",
        id, model ? model->id.c_str() : "", device, static_cast<long long>(request ? request->timestampUs : 0),
        ini().InferenceRequestTimeout, sending ? " once the runtime returns from taking it" : "");
    m_messagingManager.addMessage(kTimeoutNoticeId,
        "The AI runtime did not answer a request within " + std::to_string(ini().InferenceRequestTimeout) +
            " s; its frame was dropped.",
        MessagingManager::MessageType::Warning);
}

void InferenceEngine::handleOutput(TensorSetPtr output, ScopedTimer& timer) {
    const uint32_t id = output->id;
    const uint32_t slot = id % kSlotCount;
    const uint32_t generation = id / kSlotCount;
    std::atomic<uint64_t>& word = m_slotWords[slot];
    uint64_t current = word.load(std::memory_order_acquire);
    if (generation > slotGeneration(current)) {  // never handed out
        logMessage("Error! Output tensor ID %u out of range\n", id);
        return;
    }
    // Only the request of the answer's own generation, in flight and not
    // given up, is answered: a repeated, stale or late id must not take a
    // slot that another request holds or may be reserving.
    for (;;) {
        if (generation != slotGeneration(current) || slotState(current) != kSlotInFlight ||
            (current & kSlotExpired)) {
            if (m_slotExpired[slot].has(generation))
                logMessage("Warning! Dropping late output for ID %u: its request timed out\n", id);
            else
                logMessage("Warning! Output tensor ID %u has no pending request\n", id);
            return;
        }
        // The worker may still be in its enqueue call: the answer takes the
        // request from it.
        if (word.compare_exchange_weak(current, slotWord(nextGeneration(generation), kSlotReserved),
                std::memory_order_acq_rel))
            break;
    }
    InferenceOutput entry;
    entry.request = std::move(m_slots[slot]);
    word.store(slotWord(nextGeneration(generation), kSlotFree), std::memory_order_release);
    // The runtime is done with it: room for the next input even while the
    // output is still on its way to the queue.
    m_inFlight.fetch_sub(1);
    timer.mark("uncaching");

    std::string problem;
    if (!isSoundOutputSet(*output, problem)) {
        logMessage("Warning! Dropping malformed output for ID %u: %s\n", id, problem.c_str());
        return;
    }
    entry.output = std::move(output);
    recordOutput(entry);
    timer.mark("throughput");
    if (!m_outputQueue.push(std::move(entry))) {
        logMessage("Warning! Output processing queue is full!\n");
    }
    timer.mark("push");
}

void InferenceEngine::recordOutput(InferenceOutput& entry) {
    static const std::string kNoDevice;
    const std::string& deviceId = entry.request->details ? entry.request->details->deviceId : kNoDevice;
    const int64_t now = monotonicNs();
    {
        std::lock_guard<std::mutex> lock(m_outputStatsMutex);
        ThroughputRing& deviceRing = m_deviceOutputRings.try_emplace(deviceId, kDeviceWindow).first->second;
        deviceRing.add(now);
        m_engineOutputRing.add(now);
        // The camera's first output always reports; then at most once a second.
        auto [last, first] = m_lastReportNs.try_emplace(deviceId, now);
        if (!first && now - last->second < kReportIntervalNs) return;
        last->second = now;
        entry.engineOutputRate = m_engineOutputRing.rate();
        entry.deviceOutputRate = deviceRing.rate();
    }
    {
        std::lock_guard<std::mutex> lock(m_inputStatsMutex);
        entry.engineInputRate = m_engineInputRing.rate();
        const auto ring = m_deviceInputRings.find(deviceId);
        entry.deviceInputRate = ring == m_deviceInputRings.end() ? 0.0 : ring->second.rate();
    }
    entry.reportThroughput = true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
