// Frame intake: what the host thread pays per 1080p frame for one stage, on
// the direct road and on the frame road, beside preprocessing alone measured
// in the same benchmark (counters preprocess_us, intake_us, overhead_pct);
// and frames per second admitted end to end with the echo runtime at zero
// latency for 1, 4 and 16 cameras, one host thread per camera.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "inference/inference_manager.h"
#include "inference/preprocessing/input_tensors.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/manager_fixture.h"
#include "inference/video_frame.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kModelSide = 640;

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Road {
    engine_test::EngineTestEnv env;
    qzai::MessagingManager notices;
    std::shared_ptr<qzai::ModelDetails_t> model;
    std::unique_ptr<qzai::InferenceManager> manager;

    explicit Road(int workers) {
        qzai::setLogVerbosity(0);
        env.writeRuntimeArgs({});
        model = env.makeModel("echo", manager_test::echoDescriptor());
        manager_test::describeImageInput(*model, kModelSide);
        manager = std::make_unique<qzai::InferenceManager>(env.root(), "", notices, workers);
        manager->start(manager_test::modelMap({model}));
    }
    uint64_t accepted() const { return env.stats().enqueueAccepted; }
};

// range(0): 0 direct road, 1 frame road.
void BM_IntakeHostCostPer1080pFrame(benchmark::State& state) {
    const bool frameRoad = state.range(0) == 1;
    Road road(8);
    auto settings = manager_test::makeSettings({road.model}, {frameRoad});
    auto details = manager_test::makeDetails("cam");
    auto frame = manager_test::makeFrame(1920, 1080, 0, {{400, 300, 120}});
    const auto& stage = settings->stages.front();

    double preprocessUs = 0.0;
    double intakeUs = 0.0;
    for (auto _ : state) {
        auto start = Clock::now();
        if (frameRoad) {
            auto rgb = std::make_shared<qzai::VideoFrame>(frame.get(), 0u);
            benchmark::DoNotOptimize(rgb.get());
        } else {
            auto tensors = qzai::prepareRuntimeInput(frame.get(), stage, stage.cropBox);
            benchmark::DoNotOptimize(tensors.get());
        }
        preprocessUs += microsecondsSince(start);

        const uint64_t before = road.env.stats().outputsDelivered;
        start = Clock::now();
        road.manager->sendInputMessage(frame, settings, details, {});
        intakeUs += microsecondsSince(start);

        // Let the request and its output pass before the next frame, outside
        // the measured parts, so that no worker competes with the host thread.
        state.PauseTiming();
        while (road.env.stats().outputsDelivered == before) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        road.manager->waitForWorkers();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["preprocess_us"] = preprocessUs / n;
    state.counters["intake_us"] = intakeUs / n;
    state.counters["overhead_pct"] = 100.0 * (intakeUs - preprocessUs) / preprocessUs;
}
BENCHMARK(BM_IntakeHostCostPer1080pFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// range(0) cameras, each pushing 1080p frames from its own thread for one second.
void BM_IntakeAdmittedFramesPerSecond(benchmark::State& state) {
    const int cameras = static_cast<int>(state.range(0));
    Road road(8);
    auto settings = manager_test::makeSettings({road.model});
    auto frame = manager_test::makeFrame(1920, 1080, 0, {{400, 300, 120}});
    double admittedPerSecond = 0.0;
    double offeredPerSecond = 0.0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> offered{0};
        const uint64_t before = road.accepted();
        const auto start = Clock::now();
        std::vector<std::thread> hosts;
        for (int c = 0; c < cameras; ++c) {
            hosts.emplace_back([&, c] {
                auto details = manager_test::makeDetails("cam-" + std::to_string(c));
                while (!stop.load()) {
                    road.manager->sendInputMessage(frame, settings, details, {});
                    offered.fetch_add(1);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stop = true;
        for (auto& host : hosts) host.join();
        road.manager->waitForWorkers();
        const double seconds = microsecondsSince(start) / 1e6;
        admittedPerSecond = static_cast<double>(road.accepted() - before) / seconds;
        offeredPerSecond = static_cast<double>(offered.load()) / seconds;
    }
    state.counters["admitted_fps"] = admittedPerSecond;
    state.counters["offered_fps"] = offeredPerSecond;
}
BENCHMARK(BM_IntakeAdmittedFramesPerSecond)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
