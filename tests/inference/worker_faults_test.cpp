// Faults inside and around the manager's workers: a refused frame, a frame
// road stage with nothing to preprocess, workers whose work throws or whose
// thread cannot start, and outputs left queued when the engine stops. Each
// case checks that permits come back, what was held is freed, and the log
// says what the case calls for, once.
#include <gtest/gtest.h>

#include <memory>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "common/support/log_waiter.h"
#include "inference/inference_manager.h"
#include "support/engine_test_env.h"
#include "support/manager_fixture.h"
#include "support/prep_frames.h"
#include "support/thread_faults.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using engine_test::waitFor;
using namespace manager_test;

namespace {

class WorkerFaultsTest : public ::testing::Test {
protected:
    void SetUp() override { previousVerbosity = qzai::logVerbosity(), qzai::setLogVerbosity(2); }
    void TearDown() override { qzai::setLogVerbosity(previousVerbosity); }

    std::shared_ptr<qzai::ModelDetails_t> model(const std::string& id) {
        auto details = env.makeModel(id, echoDescriptor());
        describeImageInput(*details, 16);
        return details;
    }
    void waitForInputWorkers(qzai::InferenceManager& manager) {
        ASSERT_TRUE(waitFor([&] { return manager.freeInputPermits() == manager.maxWorkers(); }));
    }
    // A callback whose copies keep `token` alive: once every request of the
    // camera is gone, token.use_count() is 1 again.
    qzai::InferenceResultCallback holding(std::function<void()> body = [] {}) {
        return [token = token, body](auto, auto, auto) { body(); };
    }

    engine_test::EngineTestEnv env;
    qzai::MessagingManager notices;
    std::shared_ptr<int> token = std::make_shared<int>(0);
    int previousVerbosity = 1;
};

TEST_F(WorkerFaultsTest, AFrameRefusedWholeIsLoggedOncePerFrameNotPerStage) {
    auto settings = makeSettings({model("a"), model("b"), model("c")});
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    qz::test::LogWaiter log;
    for (int frame = 0; frame < 2; ++frame)
        manager.sendInputMessage(makeFrame(64, 48, frame), settings, makeDetails("cam"), {});
    EXPECT_EQ(log.count("Warning! Tried sending message to inference engine before it's initialized"), 2u);
}

// Nothing comes out of the frame road's preprocessing (a frame without its
// chroma planes): every frame ends its worker quietly, at the verbose level.
TEST_F(WorkerFaultsTest, AFrameRoadStageWithNothingToPreprocessDoesNotWarnPerFrame) {
    auto a = model("a");
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    const auto frame = prep_test::randomFrame(64, 48, 7u);
    prep_test::HostFrame lumaOnly(frame, 1);
    qz::test::LogWaiter log;
    for (int i = 0; i < 3; ++i) {
        manager.sendInputMessage(qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame>::share(&lumaOnly),
                                 makeSettings({a}, {true}), makeDetails("cam"), {});
        waitForInputWorkers(manager);
    }
    EXPECT_EQ(log.count("Could not preprocess frame for stage a", 2), 3u) << log.text();
    EXPECT_EQ(log.count("Could not preprocess frame", 1), 0u) << log.text();
    EXPECT_EQ(env.stats().enqueueAccepted, 0u);
}

// The runtime throws from its enqueue call inside the input worker, the
// camera's callback throws inside the output worker: both are logged, the
// permits come back, the slot is free again and later frames still go.
TEST_F(WorkerFaultsTest, WorkThatThrowsInsideAWorkerIsLoggedAndGivesEverythingBack) {
    env.writeRuntimeArgs({{"enqueue_throws", "1"}});
    auto a = model("a");
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    qz::test::LogWaiter log;
    manager.sendInputMessage(makeFrame(64, 48, 1), makeSettings({a}), makeDetails("cam"), holding());
    ASSERT_TRUE(log.waitForCount("Error! Input worker failed: injected enqueue exception", 1)) << log.text();
    waitForInputWorkers(manager);
    EXPECT_EQ(token.use_count(), 1);
    manager.stopInferenceEngine();

    env.writeRuntimeArgs({});
    auto detecting = env.makeModel("d", R"({"mode": "detect", "output_name": "bboxes-format:xyxysc;0:square",
                                            "rows": [[2, 2, 12, 12, 0.9, 0]]})");
    describeImageInput(*detecting, 16);
    manager.start(modelMap({detecting}));
    auto settings = makeSettings({detecting});
    // The tracker reports from the third sighting on (frames 60 ms apart).
    for (int64_t i = 0; i < 6; ++i) {
        manager.sendInputMessage(makeFrame(64, 48, i * 60000), settings, makeDetails("cam"),
                                 holding([] { throw std::runtime_error("camera gone"); }));
        ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == static_cast<uint64_t>(i + 1); }));
        manager.waitForWorkers();
    }
    // The outputs may still wait in the queue for the output loop.
    EXPECT_TRUE(log.waitForCount("Error! Output worker failed: camera gone", 1)) << log.text();
    manager.stopInferenceEngine();
    EXPECT_EQ(manager.freeOutputPermits(), 2);
    EXPECT_EQ(token.use_count(), 1);
}

// The output loop cannot start a worker for one output: the output is freed,
// its permit comes back and the next output is delivered.
TEST_F(WorkerFaultsTest, AnOutputWorkerThatCannotStartFreesItsOutput) {
    auto a = model("a");
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    auto settings = makeSettings({a});
    qz::test::LogWaiter log;
    env.holdOutputs(true);
    manager.sendInputMessage(makeFrame(64, 48, 1), settings, makeDetails("cam"), holding());
    ASSERT_TRUE(waitFor([&] { return env.stats().enqueueAccepted == 1; }));
    waitForInputWorkers(manager);
    ASSERT_TRUE(waitFor([&] { return env.stats().outputsProduced == 1; }));
    engine_test::failNextThreadStarts(1);
    env.holdOutputs(false);
    ASSERT_TRUE(log.waitForCount("Error! Could not start an output worker", 1)) << log.text();
    EXPECT_TRUE(waitFor([&] { return token.use_count() == 1; }));
    EXPECT_EQ(manager.freeOutputPermits(), 2);

    manager.sendInputMessage(makeFrame(64, 48, 2), settings, makeDetails("cam"), holding());
    ASSERT_TRUE(log.waitForCount("Inference engine output queue size", 1));
    ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 2; }));
    manager.waitForWorkers();
    EXPECT_EQ(log.count("Error! Could not start an output worker"), 1u);
}

// An output the old engine collects after the output loop has stopped is
// freed with the engine, not kept for the next start. The runtime holds the
// engine's output thread in its retrieve call and the input worker in its
// enqueue call, so the stop drains the workers only after the output came.
TEST_F(WorkerFaultsTest, OutputsQueuedWhenTheEngineStopsAreFreed) {
    env.writeRuntimeArgs({{"hold_enqueue", "1"}});
    auto a = model("a");
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    qz::test::LogWaiter log;
    env.holdOutputs(true);
    manager.sendInputMessage(makeFrame(64, 48, 1), makeSettings({a}), makeDetails("cam"), holding());
    ASSERT_TRUE(waitFor([&] { return env.stats().enqueueAccepted == 1; }));

    // The engine's output thread is inside the held retrieve call.
    ASSERT_TRUE(waitFor([&] { return env.stats().outputsProduced == 1 && env.stats().retrieveCallsInside == 1; }));
    std::thread stopper([&] { manager.stopInferenceEngine(); });
    ASSERT_TRUE(log.waitForCount("Stopped inference output loop", 1));
    env.holdOutputs(false);
    ASSERT_TRUE(log.waitForCount("Inference Engine state is 3, breaking output loop.", 1)) << log.text();
    EXPECT_EQ(env.stats().outputsDelivered, 1u);
    env.releaseEnqueues();
    stopper.join();
    EXPECT_EQ(token.use_count(), 1);
}

}  // namespace
