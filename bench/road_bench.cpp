// The whole road inside the plug-in: intake, preprocessing, the engine, the
// output loop, post-processing (detection rows, tracking) and packet
// assembly, with the test runtime in detect mode at zero latency, so nearly
// all the CPU time is the plug-in's own. Each camera is a host thread that
// pushes its next 1080p frame once the previous one came back as packets
// (or was refused), for 1, 4 and 16 cameras.
//
// Counters: fps (frames that came back as packets per second), cpu_us (process
// CPU time per such frame), intake_cpu_us (the part of it spent on the
// camera threads, which preprocess on the direct road: the rest is the
// workers, the runtime and the output side), preprocess_us (preprocessing
// alone of the same frame for the same stage on one thread) and
// ratio_road_vs_preprocess (cpu_us / preprocess_us; road_vs_preprocess is
// the same figure under its older name). The reference is interleaved with the road: the measured
// second is cut into slices, and after each slice, with the road idle, the
// same frame is preprocessed alone, warm: a few untimed rounds first bring
// the frame, the code and the heap's blocks back into the caches, so the
// reference is what preprocessing costs at its best and the ratio counts
// everything else the road spends (hand-overs, queueing, the colder caches
// of many cameras) against the road.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "inference/inference_manager.h"
#include "inference/preprocessing/input_tensors.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/manager_fixture.h"
#include "manager_bench_support.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

using manager_bench::processCpuUs;

// CPU time of the calling thread so far, in microseconds.
double threadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kModelSide = 640;
constexpr int64_t kFrameIntervalUs = 40'000;  // 25 frames per second of camera time

void BM_RoadDetect1080p(benchmark::State& state) {
    const int cameras = static_cast<int>(state.range(0));
    qzai::setLogVerbosity(0);
    engine_test::EngineTestEnv env;
    env.writeRuntimeArgs({});
    const std::string descriptor =
        nlohmann::json{{"mode", "detect"},
                       {"output_name", "bboxes-format:xyxysc;0:square"},
                       {"rows", {{100, 120, 260, 300, 0.9, 0}, {400, 80, 520, 200, 0.8, 0}}}}
            .dump();
    auto model = env.makeModel("detect", descriptor);
    manager_test::describeImageInput(*model, kModelSide);
    qzai::MessagingManager notices;
    qzai::InferenceManager manager(env.root(), "", notices, 8);
    manager.start(manager_test::modelMap({model}));
    const auto settings = manager_test::makeSettings({model});
    const auto frame = manager_test::makeFrame(1920, 1080, 0, {{400, 300, 160}});
    const auto& stage = settings->stages.front();

    // Preprocessing alone, the reference: a few warm rounds at a time
    // between slices of the road.
    double prepCpuUs = 0.0;
    int prepRounds = 0;
    auto preprocessAlone = [&](int rounds) {
        for (int i = 0; i < 3; ++i) {
            auto tensors = qzai::prepareRuntimeInput(frame.get(), stage, stage.cropBox);
            benchmark::DoNotOptimize(tensors.get());
        }
        const double start = processCpuUs();
        for (int i = 0; i < rounds; ++i) {
            auto tensors = qzai::prepareRuntimeInput(frame.get(), stage, stage.cropBox);
            benchmark::DoNotOptimize(tensors.get());
        }
        prepCpuUs += processCpuUs() - start;
        prepRounds += rounds;
    };

    std::vector<std::unique_ptr<manager_bench::DeliveryCounter>> feeds;
    for (int c = 0; c < cameras; ++c) feeds.push_back(std::make_unique<manager_bench::DeliveryCounter>());
    auto details = [](int c) { return manager_test::makeDetails("cam-" + std::to_string(c)); };
    // Pushes frames of camera c until `done`; a frame that does not come back
    // within 20 ms (refused, or not yet reported by the tracker) is followed
    // by the next one. Warm-up frames are made as they go, 40 ms of camera
    // time apart, until the tracker reports the square; the measured frames
    // are one ready-made frame a second later (the track stays reported), so
    // making frames costs the host nothing.
    const auto steadyFrame = manager_test::makeFrame(1920, 1080, 1'000'000, {{400, 300, 160}});
    std::atomic<double> intakeCpuUs{0.0};  // of the camera threads, measured frames only
    auto run = [&](int c, bool warmUp, const std::function<bool()>& done) {
        manager_bench::DeliveryCounter& camera = *feeds[static_cast<size_t>(c)];
        const auto cameraDetails = details(c);
        int64_t timestampUs = 0;
        const double cpuStart = threadCpuUs();
        while (!done()) {
            const uint64_t seen = camera.count();
            auto next = warmUp ? manager_test::makeFrame(1920, 1080, timestampUs += kFrameIntervalUs, {{400, 300, 160}})
                               : steadyFrame;
            manager.sendInputMessage(next, settings, cameraDetails, camera.callback());
            camera.waitFor(seen + 1, 20ms);
        }
        if (!warmUp) intakeCpuUs.fetch_add(threadCpuUs() - cpuStart);
    };
    // Warm-up: every camera's track is reported.
    {
        std::vector<std::thread> threads;
        for (int c = 0; c < cameras; ++c)
            threads.emplace_back(run, c, true, [&, c] { return feeds[static_cast<size_t>(c)]->count() > 0; });
        for (auto& thread : threads) thread.join();
    }

    double fps = 0.0;
    double cpuPerFrameUs = 0.0;
    double intakePerFrameUs = 0.0;
    constexpr int kSlices = 5;
    constexpr int kPrepRoundsPerSlice = 10;
    for (auto _ : state) {
        double cpuUs = 0.0;
        double seconds = 0.0;
        double frames = 0.0;
        intakeCpuUs = 0.0;
        for (int slice = 0; slice < kSlices; ++slice) {
            uint64_t before = 0;
            for (auto& camera : feeds) before += camera->count();
            std::atomic<bool> stop{false};
            const auto start = Clock::now();
            const double cpuStart = processCpuUs();
            std::vector<std::thread> threads;
            for (int c = 0; c < cameras; ++c) threads.emplace_back(run, c, false, [&] { return stop.load(); });
            std::this_thread::sleep_for(1000ms / kSlices);
            stop = true;
            for (auto& thread : threads) thread.join();
            manager.waitForWorkers();
            cpuUs += processCpuUs() - cpuStart;
            seconds += std::chrono::duration<double>(Clock::now() - start).count();
            uint64_t after = 0;
            for (auto& camera : feeds) after += camera->count();
            frames += static_cast<double>(after - before);
            preprocessAlone(kPrepRoundsPerSlice);
        }
        fps = frames / seconds;
        cpuPerFrameUs = frames > 0 ? cpuUs / frames : 0.0;
        intakePerFrameUs = frames > 0 ? intakeCpuUs.load() / frames : 0.0;
    }
    const double preprocessUs = prepRounds ? prepCpuUs / prepRounds : 0.0;
    const double ratio = preprocessUs > 0 ? cpuPerFrameUs / preprocessUs : 0.0;
    state.counters["fps"] = fps;
    state.counters["cpu_us"] = cpuPerFrameUs;
    state.counters["intake_cpu_us"] = intakePerFrameUs;
    state.counters["preprocess_us"] = preprocessUs;
    state.counters["ratio_road_vs_preprocess"] = ratio;
    state.counters["road_vs_preprocess"] = ratio;
}
BENCHMARK(BM_RoadDetect1080p)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
