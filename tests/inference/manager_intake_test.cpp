#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "common/ini.h"
#include "common/messaging_manager.h"
#include "inference/inference_manager.h"
#include "support/engine_test_env.h"
#include "support/manager_fixture.h"
#include "support/thread_faults.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

// The thread faults of support/thread_faults.h live in this file so that only
// the plain test program (not the ThreadSanitizer one) replaces pthread_create.
namespace engine_test {
namespace {

thread_local bool tFailThreadStarts = false;
std::atomic<int> gFailNext{0};

bool takeInjectedFailure() {
    if (tFailThreadStarts) return true;
    int left = gFailNext.load();
    while (left > 0) {
        if (gFailNext.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

}  // namespace

void failThreadStartsOnThisThread(bool fail) { tFailThreadStarts = fail; }

void failNextThreadStarts(int count) { gFailNext.store(count); }

}  // namespace engine_test

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (engine_test::takeInjectedFailure()) return EAGAIN;
    return next(thread, attributes, routine, argument);
}

using engine_test::waitFor;
using namespace manager_test;

namespace {

class ManagerIntakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        env.writeRuntimeArgs({});
        base = env.stats();
    }

    std::shared_ptr<qzai::ModelDetails_t> model(const std::string& id, int latencyMs = 0) {
        auto details = env.makeModel(id, echoDescriptor(latencyMs));
        describeImageInput(*details, 16);
        return details;
    }

    uint64_t accepted() const { return env.stats().enqueueAccepted - base.enqueueAccepted; }

    // Offers one 64x48 frame and waits until its workers have finished.
    void offer(qzai::InferenceManager& manager, const std::shared_ptr<const qzai::DeviceAgentSettings_t>& settings,
               const std::string& camera, int64_t timestampUs = 0) {
        manager.sendInputMessage(makeFrame(64, 48, timestampUs), settings, makeDetails(camera), {});
        ASSERT_TRUE(waitFor([&] { return manager.freeInputPermits() == manager.maxWorkers(); }));
    }

    engine_test::EngineTestEnv env;
    qzai::MessagingManager messaging;
    TestRuntimeStats base{};
};

}  // namespace

TEST(InferenceManagerBound, WorkerCountIsClampedToZeroAnd1024) {
    EXPECT_EQ(qzai::InferenceManager::workerBound(-3), 0);
    EXPECT_EQ(qzai::InferenceManager::workerBound(8), 8);
    EXPECT_EQ(qzai::InferenceManager::workerBound(5000), 1024);
}

TEST_F(ManagerIntakeTest, EveryTopLevelStageOfEveryCameraReachesTheRuntimeOnce) {
    auto direct = model("direct");
    auto frameRoad = model("frame");
    qzai::InferenceManager manager(env.root(), "", messaging, 16);
    manager.start(modelMap({direct, frameRoad}));
    ASSERT_TRUE(manager.hasEngine());
    auto settings = makeSettings({direct, frameRoad}, {false, true});

    for (int frame = 0; frame < 4; ++frame) {
        for (const char* camera : {"cam-1", "cam-2", "cam-3"}) {
            const uint64_t before = accepted();
            offer(manager, settings, camera, frame * 1000);
            ASSERT_TRUE(waitFor([&] { return accepted() == before + 2; })) << camera << " frame " << frame;
            // Let the runtime hand the outputs back before the next frame, so a
            // slow output thread on a loaded machine never leaves the engine
            // without room (which would skip a stage by design).
            ASSERT_TRUE(waitFor([&] {
                return env.stats().outputsDelivered - base.outputsDelivered == accepted();
            }));
        }
    }
    EXPECT_EQ(accepted(), 24u);
    EXPECT_EQ(env.stats().enqueueWhileNotInitialised, base.enqueueWhileNotInitialised);
}

TEST_F(ManagerIntakeTest, FramesAreRefusedWholeWhileNoEngineRuns) {
    auto ready = model("ready");
    auto settings = makeSettings({ready});
    qzai::InferenceManager manager(env.root(), "", messaging, 4);

    offer(manager, settings, "cam");  // before any start
    auto downloading = model("downloading");
    downloading->downloadState = qzai::ModelDownloadState::Downloading;
    manager.start(modelMap({downloading}));
    EXPECT_FALSE(manager.hasEngine());
    manager.stopInferenceEngine();  // before any start: only toggles accepting
    EXPECT_TRUE(manager.accepting());
    offer(manager, settings, "cam");
    EXPECT_EQ(accepted(), 0u);

    manager.start(modelMap({ready}));
    offer(manager, settings, "cam");
    ASSERT_TRUE(waitFor([&] { return accepted() == 1; }));

    manager.stopInferenceEngine();
    EXPECT_FALSE(manager.hasEngine());
    EXPECT_TRUE(manager.accepting());
    offer(manager, settings, "cam");
    EXPECT_EQ(accepted(), 1u);

    manager.start(modelMap({ready}));
    offer(manager, settings, "cam");
    ASSERT_TRUE(waitFor([&] { return accepted() == 2; }));
}

// A worker held in the runtime holds up no start with the same models.
TEST_F(ManagerIntakeTest, RestartWithTheSameModelsKeepsTheRuntimeAndIntakeOpen) {
    env.writeRuntimeArgs({{"hold_enqueue", "1"}});
    auto a = model("a");
    qzai::InferenceManager manager(env.root(), "", messaging, 4);
    manager.start(modelMap({a}));
    const uint64_t inits = env.stats().initCalls;
    manager.sendInputMessage(makeFrame(64, 48, 1), makeSettings({a}), makeDetails("cam"), {});
    ASSERT_TRUE(waitFor([&] { return accepted() == 1; }));
    std::atomic<bool> started{false};
    std::thread refresh([&] { manager.start(modelMap({a})), started = true; });
    EXPECT_TRUE(waitFor([&] { return started.load(); }));
    EXPECT_TRUE(manager.accepting());
    env.releaseEnqueues();
    refresh.join();
    EXPECT_EQ(env.stats().initCalls, inits);
    offer(manager, makeSettings({a}), "cam", 2);
    ASSERT_TRUE(waitFor([&] { return accepted() == 2; }));
}

TEST_F(ManagerIntakeTest, StageIsSkippedWithoutAPermit) {
    auto a = model("a");
    qzai::InferenceManager manager(env.root(), "", messaging, 0);
    manager.start(modelMap({a}));
    for (int i = 0; i < 5; ++i) offer(manager, makeSettings({a}), "cam");
    EXPECT_EQ(accepted(), 0u);
    EXPECT_EQ(manager.freeInputPermits(), 0);
    manager.waitForWorkers();  // N = 0 returns at once
}

TEST_F(ManagerIntakeTest, StageIsSkippedWhileTheEngineHoldsItsCapacity) {
    auto slow = model("slow", 3000);
    qzai::InferenceManager manager(env.root(), "", messaging, 4);
    manager.start(modelMap({slow}));
    auto settings = makeSettings({slow});
    const auto capacity = static_cast<uint64_t>(qzai::ini().MaxNumberConcurrentInferences);
    for (uint64_t i = 0; i < capacity + 4; ++i) offer(manager, settings, "cam-" + std::to_string(i % 3));
    EXPECT_EQ(accepted(), capacity);
    manager.waitForWorkers();
    EXPECT_EQ(manager.freeInputPermits(), 4);
    EXPECT_EQ(manager.freeOutputPermits(), 4);
}

TEST_F(ManagerIntakeTest, WorkerThatCannotStartGivesBackItsPermitAndWhatWasPrepared) {
    auto direct = model("direct");
    auto frameRoad = model("frame");
    qzai::InferenceManager manager(env.root(), "", messaging, 2);
    manager.start(modelMap({direct, frameRoad}));
    auto settings = makeSettings({direct, frameRoad}, {false, true});

    engine_test::failThreadStartsOnThisThread(true);
    for (int i = 0; i < 3; ++i)
        manager.sendInputMessage(makeFrame(64, 48, i), settings, makeDetails("cam"), {});
    engine_test::failThreadStartsOnThisThread(false);
    EXPECT_EQ(manager.freeInputPermits(), 2);  // at once: no worker holds one
    EXPECT_EQ(accepted(), 0u);

    offer(manager, settings, "cam");
    ASSERT_TRUE(waitFor([&] { return accepted() == 2; }));
}
