// A scratch root folder with the test runtime installed as
// "inference_engine/RuntimeLibrary.dll", encrypted model descriptors, and
// access to the runtime's counters. The environment keeps the runtime image
// loaded for its whole life, so counters survive engine destruction (engines
// load the same file through their own links and share the image).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "records/model_details.h"
#include "inference/inference_types.h"
#include "test_runtime/test_runtime_stats.h"

namespace engine_test {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

class EngineTestEnv {
public:
    // installRuntime false leaves "RuntimeLibrary.dll" absent.
    explicit EngineTestEnv(bool installRuntime = true);
    ~EngineTestEnv();
    EngineTestEnv(const EngineTestEnv&) = delete;
    EngineTestEnv& operator=(const EngineTestEnv&) = delete;

    const std::string& root() const { return m_root; }
    std::string workingDir() const;
    std::string libraryPath() const;

    // Writes runtime_args.json; "poll_ms" defaults to 20 so stops are quick.
    void writeRuntimeArgs(std::map<std::string, std::string> args);

    // A ready model whose file is the descriptor encrypted with AES-256-GCM
    // under a fresh key (written to its key file). wrongKey writes another key.
    std::shared_ptr<qzai::ModelDetails_t> makeModel(const std::string& id, const std::string& descriptor,
        bool wrongKey = false);

    TestRuntimeStats stats() const;
    // While held, the runtime's retrieve calls wait, past their timeout,
    // until the hold ends (or cleanup).
    void holdOutputs(bool hold) const;
    // Lets enqueue calls held by the "hold_enqueue" argument return.
    void releaseEnqueues() const;
    // Lets init calls held by the "hold_init" argument return.
    void releaseInits() const;

private:
    std::string m_root;
    void* m_runtimeImage = nullptr;
};

// A request for `model` from camera `deviceId`; the stage lives in the
// request's settings snapshot.
std::shared_ptr<qzai::InferenceInput_t> makeRequest(const std::shared_ptr<qzai::ModelDetails_t>& model,
    const std::string& deviceId = "camera-1", int64_t timestampUs = 0);

// One float32 tensor "image-" shaped [1, count] holding `value` in every
// element; a malloc'd set as the engine expects.
TensorSet* makeInput(float value, int32_t count = 1);

// Pops one output, waiting at most `timeout`; empty when none came.
std::optional<qzai::InferenceOutput> popOutput(qzai::OutputQueue& queue,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Polls until `done` or the timeout; returns the last value of done().
template <typename Done>
bool waitFor(Done done, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace engine_test
