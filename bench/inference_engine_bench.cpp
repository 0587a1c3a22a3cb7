// Requests per second through InferenceEngine::sendInput to the OutputQueue,
// against the same echo runtime driven by a plain enqueue/retrieve loop.
// Both keep the engine's capacity of requests in flight and build one input
// set per request. Compare items_per_second of the two.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "common/ini.h"
#include "common/log.h"
#include "common/messaging_manager.h"
#include "inference/inference_engine.h"
#include "inference/runtime_library.h"
#include "inference/support/engine_test_env.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr const char* kEcho = R"({"mode":"echo"})";
// Ids as long as the real ones (UUID texts), so that copies of them would show.
constexpr const char* kModelId = "6f1c2a4e-3b5d-4c7e-9a8b-0d1e2f3a4b5c";
constexpr const char* kDeviceId = "{2b4c6d8e-1a3f-4e5d-8c7b-9a0f1e2d3c4b}";

int depth() {
    return std::max(1, qzai::ini().MaxNumberConcurrentInferences);
}

void BM_EngineSendInputToOutputQueue(benchmark::State& state) {
    qzai::setLogVerbosity(0);
    engine_test::EngineTestEnv env;
    env.writeRuntimeArgs({});
    auto model = env.makeModel(kModelId, kEcho);
    qzai::OutputQueue queue;
    qzai::MessagingManager notices;
    qzai::InferenceEngine engine(env.root(), {{kModelId, model}}, queue, notices);
    const auto request = engine_test::makeRequest(model, kDeviceId);
    for (auto _: state) {
        while (engine.hasInputRoom()) engine.sendInput(request, engine_test::makeInput(1.0f, 64));
        benchmark::DoNotOptimize(engine_test::popOutput(queue));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineSendInputToOutputQueue)->UseRealTime();

void BM_DirectEnqueueRetrieveLoop(benchmark::State& state) {
    qzai::setLogVerbosity(0);
    engine_test::EngineTestEnv env;
    const std::string modelPath = (std::filesystem::path(env.root()) / "models" / "echo.model").string();
    std::ofstream(modelPath) << kEcho;
    qzai::RuntimeLibrary runtime(env.libraryPath());
    const RuntimeArgs args{};
    RuntimeModelEntry entry{};
    entry.modelPath = modelPath.c_str();
    if (runtime.init(args) != 0 || runtime.loadModels(1, &entry) != 0) {
        state.SkipWithError("runtime did not start");
        return;
    }
    int inFlight = 0;
    uint32_t nextId = 0;
    for (auto _: state) {
        while (inFlight < depth()) {
            TensorSet* input = engine_test::makeInput(1.0f, 64);
            input->id = nextId++ % 100;
            if (runtime.enqueueInput(0, input) == 0) ++inFlight;
        }
        TensorSet* output = nullptr;
        uint64_t reserved = 0;
        while (runtime.retrieveOutput(&reserved, &output, 1000) != 0) {
        }
        --inFlight;
        qzai::TensorSetPtr owned(output);
        benchmark::DoNotOptimize(owned.get());
    }
    runtime.cleanup();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DirectEnqueueRetrieveLoop)->UseRealTime();

}  // namespace
