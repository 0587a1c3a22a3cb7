// The output loop's two ways of dropping a finished inference: no free output
// worker, and a manager that is reconfiguring. Either way the entry is freed
// (LeakSanitizer sees a lost tensor set or request) without a callback, and
// the permits all come back.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "inference/inference_manager.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/log_folder.h"
#include "inference/support/manager_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using engine_test::waitFor;

constexpr int kModelSide = 64;

// A camera callback that holds its output worker until opened. Going away,
// it opens and waits until no callback is inside, so a test that stops early
// cannot leave the manager's destructor waiting for a held worker.
struct GatedCamera {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int calls = 0;
    int inside = 0;

    ~GatedCamera() {
        release();
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return inside == 0; });
    }

    qzai::InferenceResultCallback callback() {
        return [this](auto, auto, auto) {
            std::unique_lock<std::mutex> lock(mutex);
            ++calls;
            ++inside;
            changed.notify_all();
            changed.wait(lock, [this] { return open; });
            --inside;
            changed.notify_all();
        };
    }
    bool waitForCalls(int n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return calls >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    int callCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

// A manager with `workers` input and output workers over a test-runtime model
// that finds one square in every frame after `latencyMs`.
struct DetectingRoad {
    engine_test::LogFolder log{"output_dispatch"};
    engine_test::EngineTestEnv env;
    qzai::MessagingManager notices;
    std::string descriptor;
    std::shared_ptr<qzai::ModelDetails_t> model;
    std::shared_ptr<const qzai::DeviceAgentSettings_t> settings;
    std::unique_ptr<qzai::InferenceManager> manager;

    // pollMs: longest wait of the runtime's retrieve, so of the engine's
    // output thread before it notices a stop.
    DetectingRoad(int workers, int latencyMs, int pollMs = 20) {
        env.writeRuntimeArgs({{"poll_ms", std::to_string(pollMs)}});
        descriptor = nlohmann::json{{"mode", "detect"},
                                                      {"latency_ms", latencyMs},
                                                      {"output_name", "bboxes-format:xyxysc;0:square"},
                                                      {"rows", {{8, 8, 24, 24, 0.9, 0}}}}
                                           .dump();
        model = env.makeModel("detect", descriptor);
        manager_test::describeImageInput(*model, kModelSide);
        settings = manager_test::makeSettings({model});
        manager = std::make_unique<qzai::InferenceManager>(env.root(), "", notices, workers);
        manager->start(manager_test::modelMap({model}));
        warmUpWait = std::chrono::milliseconds(latencyMs + 150);
    }

    // Sends the camera's next frame (60 ms after the previous one) and waits
    // until its input worker handed it over.
    void send(const qzai::InferenceResultCallback& callback) {
        const uint64_t before = env.stats().enqueueAccepted;
        manager->sendInputMessage(manager_test::makeFrame(160, 120, nextTimestampUs += 60'000), settings,
                                  manager_test::makeDetails("cam"), callback);
        ASSERT_TRUE(waitFor([&] {
            return env.stats().enqueueAccepted > before && manager->freeInputPermits() == manager->maxWorkers();
        }));
    }

    // The tracker reports a square once it was seen for 100 ms: frames go one
    // at a time until the camera's callback is held.
    bool warmUp(GatedCamera& camera) {
        for (int frame = 0; frame < 20; ++frame) {
            send(camera.callback());
            if (camera.waitForCalls(1, warmUpWait)) return true;
            waitFor([&] { return manager->freeOutputPermits() == manager->maxWorkers(); });
        }
        return false;
    }

    int64_t nextTimestampUs = 0;
    std::chrono::milliseconds warmUpWait;
};

TEST(OutputDispatch, AnOutputWithoutAFreeWorkerIsDroppedWithAWarning) {
    DetectingRoad road(/*workers=*/1, /*latencyMs=*/0);
    GatedCamera camera;
    ASSERT_TRUE(road.warmUp(camera));  // the only output worker is now held
    const char* warning = "Warning! Output processing queue is full!\n";
    ASSERT_EQ(road.log.count(warning), 0u);

    for (int frame = 0; frame < 3; ++frame) road.send(camera.callback());
    EXPECT_TRUE(waitFor([&] { return road.log.count(warning) == 3; }));

    camera.release();
    road.manager->waitForWorkers();
    EXPECT_EQ(camera.callCount(), 1);
    EXPECT_EQ(road.manager->freeOutputPermits(), 1);
}

TEST(OutputDispatch, OutputsArrivingWhileTheManagerReconfiguresAreNeverDelivered) {
    // A restart with a new model version stops accepting, drains the workers
    // (waiting for the camera's held worker) and stops the old engine, whose
    // output thread is held inside the runtime's retrieve call with the
    // answers to two frames. Let go then, it hands one answer on before it
    // ends; the runtime's next initialisation is held too, so the output loop
    // meets that answer while the manager is still not accepting and drops
    // it. It never reaches the camera, and every permit comes back.
    DetectingRoad road(/*workers=*/2, /*latencyMs=*/0, /*pollMs=*/1000);
    GatedCamera camera;
    ASSERT_TRUE(road.warmUp(camera));  // holds one output permit, so the restart below waits for it

    road.env.holdOutputs(true);
    const uint64_t produced = road.env.stats().outputsProduced;
    road.send(camera.callback());
    road.send(camera.callback());
    // Both answers made, and the engine's output thread inside the held call.
    ASSERT_TRUE(waitFor([&] {
        const TestRuntimeStats stats = road.env.stats();
        return stats.outputsProduced == produced + 2 && stats.retrieveCallsInside == 1;
    }));
    road.env.writeRuntimeArgs({{"poll_ms", "1000"}, {"hold_init", "1"}});
    auto changed = road.env.makeModel("detect", road.descriptor);  // a new version of the model
    manager_test::describeImageInput(*changed, kModelSide);
    changed->lastModified = "2";
    std::thread restart([&] { road.manager->start(manager_test::modelMap({changed})); });
    ASSERT_TRUE(waitFor([&] { return !road.manager->accepting(); }));
    camera.release();
    ASSERT_TRUE(waitFor([&] { return road.log.count("Stopping runtime\n") == 1; }));
    road.env.holdOutputs(false);
    const char* skipped = "Skipping output dispatch while reconfiguring.\n";
    EXPECT_TRUE(waitFor([&] { return road.log.count(skipped) == 1; }, 30s));
    road.env.releaseInits();
    restart.join();

    EXPECT_EQ(road.log.count(skipped), 1u);
    EXPECT_EQ(road.log.count("Warning! Output processing queue is full!\n"), 0u);
    EXPECT_TRUE(road.manager->accepting());
    road.manager->waitForWorkers();
    EXPECT_EQ(camera.callCount(), 1);
    EXPECT_EQ(road.manager->freeOutputPermits(), 2);
    EXPECT_EQ(road.manager->freeInputPermits(), 2);
}

}  // namespace
