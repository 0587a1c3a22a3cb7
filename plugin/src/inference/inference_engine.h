// InferenceEngine: hosts the loaded AI runtime library for the whole plug-in.
//
// It decrypts the ready models into their decrypted-copy paths and loads them
// into the runtime, admits requests into 100 input slots (the slot index is
// the request id handed to the runtime), runs one output thread that matches
// each runtime output back to its request and pushes it into the owner's
// OutputQueue, and keeps per-camera and engine-wide input/output rates.
//
// States (state()): 3 stopping or stopped, 4 initialising, 5 initialisation
// failed (also after a runtime retrieve error, which raises the
// "RUNTIME_INIT_FAILED" notice too), 7 running. Only in state 7 are inputs
// accepted and does the output thread run.
//
// Threads: sendInput and hasInputRoom run on input workers, several at once;
// recordInputTime on host threads; the output thread is the engine's own.
// The constructor, start, stop and the destructor run on the owner's thread
// while no worker calls into the engine (the owner drains its workers first).
//
// Slots: each is handed over through one atomic word holding its state (0
// free, 1 reserved, 2 in flight), its generation and two flags: "sending"
// while the worker's enqueue call has not returned, "expired" once the
// request timed out during that call. Whoever moves a slot on (an answer,
// the time-out sweep, a refused or expired enqueue) does so with one
// compare-and-swap from the exact word of the request's generation, so a
// request leaves its slot, and the in-flight count, exactly once.
//
// Request ids: slot index + 100 x the slot's generation. A generation starts
// at 0 (ids are then the slot indexes) and moves on whenever a request
// leaves its slot, so a later answer carrying an earlier id (a late or
// repeated one) never matches the next request put in that slot; it is
// dropped with a warning. A request in flight longer than
// `InferenceRequestTimeout` seconds is given up by the output thread with a
// warning naming it and the "INFERENCE_REQUEST_TIMEOUT" notice; its slot
// comes back at once, or, while its enqueue call still runs, when that call
// returns.
//
// Ownership: the engine owns the RuntimeLibrary and the decrypted model
// copies (deleted on stop); the OutputQueue and MessagingManager are the
// owner's and must outlive the engine.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "records/model_details.h"
#include "records/device_agent_details.h"
#include "inference/inference_types.h"
#include "inference/runtime_library.h"
#include "inference/throughput_ring.h"

namespace qz::vms_server_plugins::analytics::qzai {

class MessagingManager;
class ScopedTimer;

class InferenceEngine {
public:
    static constexpr size_t kSlotCount = 100;
    static constexpr int32_t kStateStopping = 3;
    static constexpr int32_t kStateInitialising = 4;
    static constexpr int32_t kStateFailed = 5;
    static constexpr int32_t kStateRunning = 7;
    static constexpr uint32_t kRetrieveTimeoutMs = 1000;
    static constexpr int kDeviceWindow = 100;
    static constexpr const char* kRuntimeNoticeId = "RUNTIME_INIT_FAILED";
    static constexpr const char* kTimeoutNoticeId = "INFERENCE_REQUEST_TIMEOUT";

    // Loads "<rootFolder>/inference_engine/RuntimeLibrary.dll", creates that
    // working folder, initialises the runtime with the ready models and starts
    // the output thread. When that throws (the thread cannot start), the
    // runtime is cleaned up and the decrypted copies deleted before the
    // library is closed and the exception leaves.
    InferenceEngine(const std::string& rootFolder, const ModelMap& models, OutputQueue& outputQueue,
        MessagingManager& messagingManager);
    // Stops (never throws), then releases the runtime library.
    ~InferenceEngine();
    InferenceEngine(const InferenceEngine&) = delete;
    InferenceEngine& operator=(const InferenceEngine&) = delete;

    // Runtime initialisation with the ready models of the map.
    void initializeRuntime(const ModelMap& models);
    // Restarts with the model set; nothing happens when the engine is running
    // with the same models (ids, order and last-modified times).
    void start(const ModelMap& models);
    // True when start(models) would do nothing. Owner's thread only; it may
    // run while workers use the engine.
    bool runsModels(const ModelMap& models) const { return state() == kStateRunning && sameModels(models); }
    // Stops the output thread, cleans the runtime up, empties the slots and
    // deletes the decrypted copies. Idempotent; never throws.
    void stop();

    // True when running and fewer than `capacity` requests are in flight.
    bool hasInputRoom() const;
    void recordInputTime(const DeviceAgentDetails_t& details);
    // Enqueues the request with its input tensors (an owned set, freed here on
    // any rejection; the runtime owns it once accepted). An exception from the
    // runtime leaves after the slot was freed.
    void sendInput(std::shared_ptr<InferenceInput_t> request, TensorSet* tensors);

    int32_t state() const { return m_state.load(); }
    void setState(int32_t state) { m_state.store(state); }
    // Requests enqueued in the runtime and not yet collected.
    int32_t inFlight() const { return m_inFlight.load(); }
    int32_t capacity() const { return m_capacity; }
    const std::string& workingDir() const { return m_workingDir; }
    const RuntimeLibrary& runtimeLibrary() const { return m_runtime; }
    // Owner's thread only.
    const ModelMap& loadedModels() const { return m_loadedModels; }
    std::optional<uint32_t> runtimeModelIndex(const std::string& modelId) const;

private:
    bool prepareWorkingDir();
    void startOutputThread();
    void outputLoop(std::stop_token stopToken);
    void handleOutput(TensorSetPtr output, ScopedTimer& timer);
    // Adds the output to the camera's and the engine's rings and, when the
    // camera's last report is a second old or more, fills in the four rates.
    void recordOutput(InferenceOutput& entry);
    bool sameModels(const ModelMap& models) const;
    // Ends the enqueue call of the request of `generation` in `slot`: frees
    // the slot and uncounts the request when the runtime refused it or the
    // time-out gave it up meanwhile; leaves a slot that an answer already
    // took alone.
    void finishSend(size_t slot, uint32_t generation, bool accepted);
    // Gives up the requests in flight for longer than the time-out.
    void reclaimExpiredSlots(int64_t nowNs);
    void reportExpired(uint32_t id, const std::shared_ptr<InferenceInput_t>& request, bool sending);

    std::array<std::shared_ptr<InferenceInput_t>, kSlotCount> m_slots;
    // State, flags and generation of each slot (inference_engine.cpp).
    std::array<std::atomic<uint64_t>, kSlotCount> m_slotWords{};
    // When each in-flight request was handed to the runtime (monotonic ns).
    std::array<std::atomic<int64_t>, kSlotCount> m_slotSentNs{};
    // The generations whose requests last timed out in each slot, to name
    // late answers as such (output thread only). A slot may time out again
    // before an earlier late answer arrives, so a few are kept.
    struct ExpiredGenerations {
        static constexpr size_t kKept = 8;
        std::array<uint32_t, kKept> generations;  // UINT32_MAX: none
        size_t next = 0;
        ExpiredGenerations() { generations.fill(UINT32_MAX); }
        void add(uint32_t generation) { generations[next++ % kKept] = generation; }
        bool has(uint32_t generation) const;
    };
    std::array<ExpiredGenerations, kSlotCount> m_slotExpired{};
    std::string m_workingDir;
    OutputQueue& m_outputQueue;
    MessagingManager& m_messagingManager;
    RuntimeLibrary m_runtime;
    std::jthread m_outputThread;  // joined before the runtime is released
    ModelMap m_loadedModels;
    std::map<std::string, std::string> m_loadedVersions;  // model id -> last-modified at load
    std::map<std::string, uint32_t> m_modelIndex;
    std::vector<std::string> m_decryptedCopies;
    std::atomic<int32_t> m_inFlight{0};

    mutable std::mutex m_inputStatsMutex;
    std::map<std::string, ThroughputRing> m_deviceInputRings;
    ThroughputRing m_engineInputRing;
    mutable std::mutex m_outputStatsMutex;
    std::map<std::string, ThroughputRing> m_deviceOutputRings;
    ThroughputRing m_engineOutputRing;
    std::map<std::string, int64_t> m_lastReportNs;

    const int32_t m_capacity;
    const int64_t m_requestTimeoutNs;
    int64_t m_lastSweepNs = 0;  // output thread only
    std::atomic<int32_t> m_state{kStateInitialising};
};

}  // namespace qz::vms_server_plugins::analytics::qzai
