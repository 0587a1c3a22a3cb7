// Host threads push frames from many cameras while the loop thread restarts,
// replaces and stops the engine and cameras come and go. Run under
// ThreadSanitizer; ends by itself after a fixed number of lifecycle steps.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "common/messaging_manager.h"
#include "inference/inference_manager.h"
#include "support/engine_test_env.h"
#include "support/manager_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using namespace manager_test;

namespace {

constexpr int kIntakeCameras = 16;
constexpr int kHostThreads = 8;
constexpr int kLifecycleSteps = 12;

struct Camera {
    std::shared_ptr<const qzai::DeviceAgentSettings_t> settings;
    std::shared_ptr<const qzai::DeviceAgentDetails_t> details;
};

// The cameras' current snapshots; a camera without settings is "gone".
class CameraTable {
public:
    void set(int index, Camera camera) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cameras[static_cast<size_t>(index)] = std::move(camera);
    }
    Camera get(int index) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cameras[static_cast<size_t>(index)];
    }

private:
    mutable std::mutex m_mutex;
    std::array<Camera, kIntakeCameras> m_cameras;
};

// An echo model "a" or "b" with an 8x8 image input.
std::shared_ptr<qzai::ModelDetails_t> echoModel(engine_test::EngineTestEnv& env, const std::string& id) {
    auto model = env.makeModel(id, echoDescriptor());
    describeImageInput(*model, 8);
    return model;
}

}  // namespace

TEST(ManagerIntakeConcurrency, HostThreadsSurviveEngineRestartsStopsAndCameraChurn) {
    engine_test::EngineTestEnv env;
    env.writeRuntimeArgs({{"latency_ms", "1"}, {"latency_jitter_ms", "3"}, {"seed", "7"}});
    const TestRuntimeStats base = env.stats();
    auto a = echoModel(env, "a");
    auto b = echoModel(env, "b");

    qzai::MessagingManager messaging;
    qzai::InferenceManager manager(env.root(), "", messaging, 8);

    CameraTable cameras;
    std::atomic<uint64_t> callbacks{0};
    auto cameraSnapshot = [&](int index, int generation) {
        Camera camera;
        camera.settings = makeSettings(generation % 2 ? std::vector{a, b} : std::vector{b}, {false, true});
        camera.details = makeDetails("cam-" + std::to_string(index));
        return camera;
    };
    for (int i = 0; i < kIntakeCameras; ++i) cameras.set(i, cameraSnapshot(i, i));

    std::atomic<bool> done{false};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back([&, t] {
            int64_t timestamp = 0;
            for (int n = 0; !done.load(); ++n) {
                const int index = (t * 2 + n) % kIntakeCameras;
                Camera camera = cameras.get(index);
                if (!camera.settings) continue;
                manager.sendInputMessage(makeFrame(32, 24, timestamp += 40000), camera.settings, camera.details,
                                         [&](auto, auto, auto) { callbacks.fetch_add(1); });
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    std::thread churn([&] {
        std::mt19937 random(3);
        for (int generation = 0; !done.load(); ++generation) {
            const int index = static_cast<int>(random() % kIntakeCameras);
            cameras.set(index, generation % 3 == 0 ? Camera{} : cameraSnapshot(index, generation));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // The runtime-manager loop: restart with changed models, then stop.
    for (int step = 0; step < kLifecycleSteps; ++step) {
        switch (step % 3) {
            case 0: manager.start(modelMap({a})); break;
            case 1: manager.start(modelMap({a, b})); break;
            default: manager.stopInferenceEngine(); break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
    }
    done = true;
    for (auto& host : hosts) host.join();
    churn.join();

    manager.stopInferenceEngine();
    manager.waitForWorkers();
    EXPECT_EQ(manager.freeInputPermits(), 8);
    EXPECT_EQ(manager.freeOutputPermits(), 8);
    const TestRuntimeStats stats = env.stats();
    EXPECT_GT(stats.enqueueAccepted, base.enqueueAccepted);
    EXPECT_EQ(stats.enqueueWhileNotInitialised, base.enqueueWhileNotInitialised);
    EXPECT_EQ(stats.inputsFreed - base.inputsFreed, stats.enqueueAccepted - base.enqueueAccepted);
}

// Host threads that push without pause, as fast as refusals come back, must
// not keep the loop thread from restarting or stopping the engine.
TEST(ManagerIntakeConcurrency, RestartsAndStopsFinishWhileHostThreadsPushWithoutPause) {
    engine_test::EngineTestEnv env;
    env.writeRuntimeArgs({});
    auto a = echoModel(env, "a");
    auto b = echoModel(env, "b");
    qzai::MessagingManager messaging;
    qzai::InferenceManager manager(env.root(), "", messaging, 8);
    manager.start(modelMap({a}));

    auto settings = makeSettings({a, b}, {false, true});
    auto frame = makeFrame(32, 24, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back([&, t] {
            auto details = makeDetails("cam-" + std::to_string(t));
            while (!stop.load()) manager.sendInputMessage(frame, settings, details, {});
        });
    }

    std::atomic<bool> lifecycleDone{false};
    std::thread loop([&] {
        for (int step = 0; step < 6; ++step) {
            if (step % 3 == 2)
                manager.stopInferenceEngine();
            else
                manager.start(modelMap(step % 3 ? std::vector{a, b} : std::vector{a}));
        }
        lifecycleDone = true;
    });
    const bool finished = engine_test::waitFor([&] { return lifecycleDone.load(); }, std::chrono::seconds(20));
    stop = true;  // also frees a loop thread that is stuck behind the host threads
    for (auto& host : hosts) host.join();
    loop.join();
    EXPECT_TRUE(finished) << "the loop thread could not restart the engine while frames kept coming";
    manager.waitForWorkers();
    EXPECT_EQ(manager.freeInputPermits(), 8);
}
