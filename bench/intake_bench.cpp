// Frame intake: what the host thread pays per 1080p frame for one stage, on
// the direct road and on the frame road, beside preprocessing alone measured
// in the same benchmark (counters preprocess_us, intake_us, overhead_pct);
// and frames per second admitted end to end with the echo runtime at zero
// latency for 1, 4 and 16 cameras, one host thread per camera.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "common/frame_buffer_pool.h"
#include "inference/inference_manager.h"
#include "inference/preprocessing/input_tensors.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/manager_fixture.h"
#include "inference/video_frame.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kModelSide = 640;

// CPU time of the calling thread so far (user and system, page faults
// included), in microseconds: what the host thread pays, without the time
// other threads of a busy machine take from it.
double threadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Minor page faults of the calling thread so far.
double threadPageFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_minflt);
}

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Road {
    engine_test::EngineTestEnv env;
    qzai::MessagingManager notices;
    std::shared_ptr<qzai::ModelDetails_t> model;
    std::unique_ptr<qzai::InferenceManager> manager;

    Road(int workers, int latencyMs) {
        qzai::setLogVerbosity(0);
        env.writeRuntimeArgs({});
        model = env.makeModel("echo", manager_test::echoDescriptor(latencyMs));
        manager_test::describeImageInput(*model, kModelSide);
        manager = std::make_unique<qzai::InferenceManager>(env.root(), "", notices, workers);
        manager->start(manager_test::modelMap({model}));
    }
    uint64_t accepted() const { return env.stats().enqueueAccepted; }
};

struct HostCost {
    double us = 0.0;
    double faults = 0.0;

    // Runs work() on the calling thread, adding its CPU time and page faults.
    template <typename Work>
    void measure(Work&& work) {
        const double faultsBefore = threadPageFaults();
        const double start = threadCpuMicroseconds();
        work();
        us += threadCpuMicroseconds() - start;
        faults += threadPageFaults() - faultsBefore;
    }
};

// range(0): 0 direct road, 1 frame road. Like a camera's frame thread, one
// thread (not the process's main thread) offers the frame every 4 ms while
// the runtime answers after 12 ms, so requests of about three earlier frames
// (on the frame road with their RGB copies) are alive at each intake. The
// reference, measured on the same thread at the same pace, is
// preprocessing alone with the results of the last three frames kept alive
// the same way; its RGB copies reuse buffers of a pool of their own, so it
// counts the conversion and none of the allocator's page faults. The two
// alternate within each tick. Counters:
// host-thread CPU time and minor page faults per frame, and the intake's
// share beyond the reference.
void BM_IntakeHostCostPer1080pFrame(benchmark::State& state) {
    constexpr int kFrames = 150;
    constexpr int kInFlight = 3;
    constexpr int kWarmUp = 8;  // the allocator and the buffer pools fill up
    const bool frameRoad = state.range(0) == 1;
    Road road(8, 12);
    auto settings = manager_test::makeSettings({road.model}, {frameRoad});
    auto details = manager_test::makeDetails("cam");
    auto frame = manager_test::makeFrame(1920, 1080, 0, {{400, 300, 120}});
    const auto& stage = settings->stages.front();

    HostCost preprocess;
    HostCost intake;
    uint64_t admitted = 0;
    for (auto _ : state) {
        std::thread host([&] {
            auto buffers = std::make_shared<qzai::FrameBufferPool>(kInFlight + 1);
            std::vector<std::shared_ptr<qzai::VideoFrame>> frames(kInFlight);
            std::vector<qzai::TensorSetPtr> tensors(kInFlight);
            HostCost warmUp;
            const uint64_t before = road.accepted();
            for (int i = 0; i < kWarmUp + kFrames; ++i) {
                // Each tick preprocesses the frame alone and offers it; which
                // comes first alternates, as the second finds the frame's
                // planes in the caches.
                auto alone = [&] {
                    (i < kWarmUp ? warmUp : preprocess).measure([&] {
                        if (frameRoad)
                            frames[i % kInFlight] = std::make_shared<qzai::VideoFrame>(frame.get(), 0u, buffers);
                        else
                            tensors[i % kInFlight] = qzai::prepareRuntimeInput(frame.get(), stage, stage.cropBox);
                    });
                };
                auto offer = [&] {
                    (i < kWarmUp ? warmUp : intake).measure([&] {
                        road.manager->sendInputMessage(frame, settings, details, {});
                    });
                };
                if (i % 2 == 0) {
                    alone();
                    offer();
                } else {
                    offer();
                    alone();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
            road.manager->waitForWorkers();
            admitted += road.accepted() - before;
        });
        host.join();
    }
    const double n = static_cast<double>(state.iterations()) * kFrames;
    state.counters["preprocess_us"] = preprocess.us / n;
    state.counters["intake_us"] = intake.us / n;
    state.counters["overhead_pct"] = 100.0 * (intake.us - preprocess.us) / preprocess.us;
    state.counters["preprocess_faults"] = preprocess.faults / n;
    state.counters["intake_faults"] = intake.faults / n;
    state.counters["admitted_pct"] =
        100.0 * static_cast<double>(admitted) / static_cast<double>(state.iterations() * (kWarmUp + kFrames));
}
BENCHMARK(BM_IntakeHostCostPer1080pFrame)->Arg(0)->Arg(1)->Iterations(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// range(0) cameras, each pushing 1080p frames from its own thread for one second.
void BM_IntakeAdmittedFramesPerSecond(benchmark::State& state) {
    const int cameras = static_cast<int>(state.range(0));
    Road road(8, 0);
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
