#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <thread>

#include "common/ini.h"
#include "common/messaging_manager.h"
#include "common/support/log_waiter.h"
#include "inference/inference_engine.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/thread_faults.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;
using engine_test::makeInput;
using engine_test::makeRequest;
using engine_test::popOutput;
using engine_test::waitFor;

namespace {

constexpr const char* kEcho = R"({"mode":"echo"})";

// The configuration read from a file holding `text` while it lives; the
// defaults again afterwards.
class EngineTestConfig {
public:
    EngineTestConfig(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
        qzai::restartIni();
        qzai::setIniPath(path);
    }
    ~EngineTestConfig() { qzai::restartIni(); }
};

class InferenceEngineTest: public testing::Test {
protected:
    std::unique_ptr<qzai::InferenceEngine> startEngine(const qzai::ModelMap& models) {
        return std::make_unique<qzai::InferenceEngine>(env.root(), models, queue, notices);
    }

    std::string notice() const {
        const auto all = notices.messages();
        const auto it = all.find("RUNTIME_INIT_FAILED");
        return it == all.end() ? "<none>" : it->second.text;
    }

    static float echoedValue(const qzai::InferenceOutput& out) {
        return *static_cast<const float*>(out.output->tensors[0].data);
    }

    engine_test::EngineTestEnv env;
    qzai::OutputQueue queue;
    qzai::MessagingManager notices;
};

TEST_F(InferenceEngineTest, RunsEncryptedModelsAndMatchesOutputsToTheirRequests) {
    env.writeRuntimeArgs({{"latency_jitter_ms", "5"}, {"seed", "3"}});
    auto a = env.makeModel("a", kEcho);
    auto b = env.makeModel("b", kEcho);
    auto engine = startEngine({{"a", a}, {"b", b}});
    ASSERT_EQ(engine->state(), 7);
    EXPECT_EQ(notice(), "<none>");
    EXPECT_EQ(engine->runtimeModelIndex("b"), 1u);
    EXPECT_TRUE(fs::exists(b->decryptedPath));

    for (int i = 0; i < 20; ++i) {
        engine->recordInputTime({"camera-1", ""});
        engine->sendInput(makeRequest(i % 2 ? b : a, "camera-1", i), makeInput(static_cast<float>(i)));
    }
    int reports = 0;
    for (int i = 0; i < 20; ++i) {
        auto out = popOutput(queue);
        ASSERT_TRUE(out);
        EXPECT_EQ(echoedValue(*out), static_cast<float>(out->request->timestampUs));
        EXPECT_EQ(out->request->stage->model, out->request->timestampUs % 2 ? b : a);
        reports += out->reportThroughput;
        if (!out->reportThroughput) {
            EXPECT_EQ(out->engineOutputRate, 0.0);
        }
    }
    EXPECT_EQ(reports, 1);  // the camera's first output, then at most once a second
    EXPECT_TRUE(waitFor([&] { return engine->inFlight() == 0; }));

    engine.reset();
    EXPECT_FALSE(fs::exists(a->decryptedPath));
    EXPECT_FALSE(fs::exists(b->decryptedPath));
    const TestRuntimeStats stats = env.stats();
    EXPECT_EQ(stats.enqueueAccepted, 20u);
    EXPECT_EQ(stats.inputsFreed, 20u);
    EXPECT_EQ(stats.outputsDelivered, 20u);
}

TEST_F(InferenceEngineTest, InitAndLoadFailuresGiveTheNoticeAndStateFive) {
    auto model = env.makeModel("a", kEcho);
    env.writeRuntimeArgs({{"fail_init", "no device"}});
    auto engine = startEngine({{"a", model}});
    EXPECT_EQ(engine->state(), 5);
    EXPECT_EQ(notice(), "Failed to initialize the AI runtime: no device");
    EXPECT_FALSE(engine->hasInputRoom());

    env.writeRuntimeArgs({{"fail_load", "bad model"}});
    engine->start({{"a", model}});
    EXPECT_EQ(engine->state(), 5);
    EXPECT_EQ(notice(), "The AI runtime failed to load the assigned models: bad model");

    // The same models again: a failed runtime is retried, and recovers.
    env.writeRuntimeArgs({});
    engine->start({{"a", model}});
    EXPECT_EQ(engine->state(), 7);
    EXPECT_EQ(notice(), "<none>");
}

TEST_F(InferenceEngineTest, AMissingRuntimeOrNullTextsStillGiveAReadableNotice) {
    {
        engine_test::EngineTestEnv bare(false);
        qzai::InferenceEngine engine(bare.root(), {}, queue, notices);
        EXPECT_EQ(engine.state(), 5);
        EXPECT_EQ(notice(), "Failed to initialize the AI runtime: Runtime not initialized.");
    }
    env.writeRuntimeArgs({{"fail_init", "x"}, {"null_texts", "1"}});
    auto engine = startEngine({});
    EXPECT_EQ(notice(), "Failed to initialize the AI runtime: ");
}

TEST_F(InferenceEngineTest, ModelsThatCannotBeDecryptedOrAreNotReadyAreLeftOut) {
    env.writeRuntimeArgs({});
    auto wrongKey = env.makeModel("a", kEcho, /*wrongKey=*/true);
    auto notReady = env.makeModel("b", kEcho);
    notReady->downloadState = qzai::ModelDownloadState::Downloading;
    auto good = env.makeModel("c", kEcho);

    auto engine = startEngine({{"a", wrongKey}, {"b", notReady}, {"c", good}});
    ASSERT_EQ(engine->state(), 7);
    EXPECT_EQ(wrongKey->downloadState.load(), qzai::ModelDownloadState::Failed);
    EXPECT_EQ(wrongKey->errorsCopy(), std::vector<std::string>{"Could not decrypt model file: " + wrongKey->modelFilePath});
    EXPECT_EQ(notReady->downloadState.load(), qzai::ModelDownloadState::Downloading);
    EXPECT_EQ(engine->loadedModels().size(), 1u);
    EXPECT_EQ(engine->runtimeModelIndex("c"), 0u);

    engine->sendInput(makeRequest(wrongKey), makeInput(1));
    engine->sendInput(makeRequest(notReady), makeInput(1));
    engine->sendInput(makeRequest(good), makeInput(1));
    ASSERT_TRUE(popOutput(queue));
    EXPECT_EQ(env.stats().enqueueAccepted, 1u);

    // With no model left the runtime is still asked to load (none).
    const uint64_t loads = env.stats().loadCalls;
    engine->start({{"a", wrongKey}});
    EXPECT_EQ(engine->state(), 7);
    EXPECT_EQ(env.stats().loadCalls, loads + 1);
}

TEST_F(InferenceEngineTest, StartRestartsOnlyForChangedModelsOrAStoppedRuntime) {
    env.writeRuntimeArgs({});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    const uint64_t inits = env.stats().initCalls;

    engine->start({{"a", model}});
    EXPECT_EQ(env.stats().initCalls, inits);

    model->lastModified = "2";
    engine->start({{"a", model}});
    EXPECT_EQ(env.stats().initCalls, inits + 1);

    engine->stop();
    engine->start({{"a", model}});
    EXPECT_EQ(env.stats().initCalls, inits + 2);
    EXPECT_EQ(engine->state(), 7);
    engine->sendInput(makeRequest(model), makeInput(5));
    ASSERT_TRUE(popOutput(queue));
}

TEST_F(InferenceEngineTest, TheHundredAndFirstConcurrentInputFindsNoSlot) {
    env.writeRuntimeArgs({{"drop_every", "1"}});  // never answers
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    for (int i = 0; i < 100; ++i) engine->sendInput(makeRequest(model), makeInput(1));
    EXPECT_EQ(engine->inFlight(), 100);
    EXPECT_FALSE(engine->hasInputRoom());

    testing::internal::CaptureStderr();
    engine->sendInput(makeRequest(model), makeInput(1));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error! No available input slot.\n"), std::string::npos);
    EXPECT_EQ(env.stats().enqueueAccepted, 100u);

    // Stopping with everything in flight releases all of it.
    engine.reset();
    EXPECT_EQ(env.stats().inputsFreed, 100u);
}

TEST_F(InferenceEngineTest, RefusedInputsReleaseTheirSlotAndCount) {
    env.writeRuntimeArgs({{"fail_enqueue_every", "2"}});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    for (int i = 0; i < 6; ++i) engine->sendInput(makeRequest(model, "camera-1", i), makeInput(i));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(popOutput(queue));
    EXPECT_TRUE(waitFor([&] { return engine->inFlight() == 0; }));
    EXPECT_EQ(env.stats().enqueueRefused, 3u);
    EXPECT_FALSE(popOutput(queue, std::chrono::milliseconds(50)));

    // An input with an inconsistent byte size is refused by the runtime too.
    TensorSet* bad = makeInput(1, 4);
    bad->tensors[0].byteSize = 8;
    testing::internal::CaptureStderr();
    engine->sendInput(makeRequest(model), bad);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Warning: Failed to send input to runtime: input tensor"),
        std::string::npos);
    EXPECT_EQ(engine->inFlight(), 0);

    engine->stop();
    engine->sendInput(makeRequest(model), makeInput(1));  // not running: dropped and freed
}

TEST_F(InferenceEngineTest, StrayOutputIdsAreDroppedWithoutTouchingSlots) {
    auto model = env.makeModel("a", kEcho);
    testing::internal::CaptureStderr();
    {
        // An id never enqueued arrives before the real answer.
        env.writeRuntimeArgs({{"stale_id", "7"}});
        auto engine = startEngine({{"a", model}});
        engine->sendInput(makeRequest(model, "camera-1", 3), makeInput(3));
        auto out = popOutput(queue);
        ASSERT_TRUE(out);
        EXPECT_EQ(echoedValue(*out), 3.0f);
        EXPECT_EQ(engine->inFlight(), 0);
    }
    {
        // The same answer twice: the second finds its slot free.
        env.writeRuntimeArgs({{"duplicate_every", "1"}});
        auto engine = startEngine({{"a", model}});
        engine->sendInput(makeRequest(model), makeInput(1));
        ASSERT_TRUE(popOutput(queue));
        ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 4; }));
        engine->stop();
        EXPECT_EQ(queue.count.load(), 0u);
    }
    {
        // Ids out of range keep their request's slot taken until stop, so
        // the next request gets the next slot.
        env.writeRuntimeArgs({{"bad_id_every", "1"}});
        auto engine = startEngine({{"a", model}});
        engine->sendInput(makeRequest(model), makeInput(1));
        ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 5; }));
        engine->sendInput(makeRequest(model), makeInput(1));
        ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 6; }));
        EXPECT_EQ(engine->inFlight(), 2);
        engine->stop();
        EXPECT_EQ(engine->inFlight(), 0);
    }
    {
        // An answer repeated only after the next request took its slot: the
        // copy must not pass for that request's answer.
        env.writeRuntimeArgs({{"duplicate_every", "1"}, {"duplicate_late", "1"}});
        auto engine = startEngine({{"a", model}});
        for (int i = 1; i <= 2; ++i) {
            engine->sendInput(makeRequest(model, "camera-1", i), makeInput(static_cast<float>(i)));
            auto out = popOutput(queue);
            ASSERT_TRUE(out);
            EXPECT_EQ(echoedValue(*out), static_cast<float>(out->request->timestampUs));
        }
        engine->stop();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Warning! Output tensor ID 7 has no pending request\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Warning! Output tensor ID 0 has no pending request\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Error! Output tensor ID 100 out of range\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Error! Output tensor ID 101 out of range\n"), std::string::npos) << log;
}

TEST_F(InferenceEngineTest, ARetrieveErrorStopsIntakeUntilTheNextStart) {
    env.writeRuntimeArgs({{"retrieve_error_after", "1"}});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    engine->sendInput(makeRequest(model), makeInput(1));
    ASSERT_TRUE(popOutput(queue));
    EXPECT_TRUE(waitFor([&] { return engine->state() == 5; }));
    EXPECT_FALSE(engine->hasInputRoom());

    env.writeRuntimeArgs({});
    engine->start({{"a", model}});
    EXPECT_EQ(engine->state(), 7);
}

// Every output is bent one way; each is dropped with one warning and frees
// its slot, so the next input takes slot 0 again (under the next generation:
// ID 100).
TEST_F(InferenceEngineTest, MalformedOutputsAreDroppedAndFreeTheirSlot) {
    auto model = env.makeModel("a", kEcho);
    for (const char* kind: {"null_data", "bytes_over", "bytes_under", "huge_rank", "shape_overflow", "null_shape"}) {
        env.writeRuntimeArgs({{"malformed_every", "1"}, {"malformed_kind", kind}});
        qz::test::LogWaiter log;
        auto engine = startEngine({{"a", model}});
        for (size_t n = 1; n <= 2; ++n) {
            engine->sendInput(makeRequest(model), makeInput(1, 4));
            const std::string line = "Warning! Dropping malformed output for ID " + std::to_string((n - 1) * 100) + ":";
            ASSERT_TRUE(log.waitForCount(line, 1)) << kind << log.text();
        }
        EXPECT_EQ(engine->inFlight(), 0) << kind;
        engine.reset();
        EXPECT_EQ(log.count("Warning! Dropping malformed output"), 2u) << kind;
        EXPECT_EQ(queue.count.load(), 0u) << kind;
    }
}

TEST_F(InferenceEngineTest, AFullOutputQueueDropsTheOutputButFreesTheSlot) {
    env.writeRuntimeArgs({});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    for (size_t i = 0; i < qzai::OutputQueue::capacity + 1; ++i) {
        engine->sendInput(makeRequest(model), makeInput(1));
        ASSERT_TRUE(waitFor([&] { return engine->inFlight() == 0; }));
    }
    EXPECT_EQ(queue.count.load(), qzai::OutputQueue::capacity);
    EXPECT_EQ(queue.items.size(), qzai::OutputQueue::capacity);
}

TEST_F(InferenceEngineTest, AnUndeletableDecryptedCopyDoesNotStopTheEngine) {
    env.writeRuntimeArgs({});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    // Swap the copy for a non-empty directory, which cannot be removed.
    fs::remove(model->decryptedPath);
    fs::create_directories(fs::path(model->decryptedPath) / "busy");

    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(engine->stop());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Warning! Could not delete file: " + model->decryptedPath),
        std::string::npos);
    fs::remove_all(model->decryptedPath);
    engine->start({{"a", model}});
    EXPECT_EQ(engine->state(), 7);
}

// The output thread cannot start after the runtime was initialised: the
// runtime is cleaned up and the decrypted copy deleted before the error leaves.
TEST_F(InferenceEngineTest, AConstructorThatThrowsReleasesTheRuntime) {
    env.writeRuntimeArgs({});
    auto model = env.makeModel("a", kEcho);
    engine_test::failThreadStartsOnThisThread(true);
    EXPECT_THROW(startEngine({{"a", model}}), std::system_error);
    engine_test::failThreadStartsOnThisThread(false);
    EXPECT_FALSE(fs::exists(model->decryptedPath));
    EXPECT_EQ(env.stats().initCalls, 1u);
    EXPECT_EQ(env.stats().cleanupCalls, 1u);
    EXPECT_EQ(env.stats().modelsLoaded, 1u);
}

// The runtime answers before its enqueue call returns: the count must already
// include the request when the output thread takes it off.
TEST_F(InferenceEngineTest, AnAnswerBeforeTheEnqueueReturnsNeverMakesTheCountNegative) {
    env.writeRuntimeArgs({{"hold_enqueue", "1"}});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    std::thread sender([&] { engine->sendInput(makeRequest(model), makeInput(1)); });
    EXPECT_TRUE(popOutput(queue));  // handled while the enqueue call is still held
    EXPECT_EQ(engine->inFlight(), 0);
    env.releaseEnqueues();
    sender.join();
    EXPECT_EQ(engine->inFlight(), 0);
    EXPECT_TRUE(engine->hasInputRoom());
}

// Request A's enqueue call outlasts the time-out, then is refused. Meanwhile
// B is sent; once A's call returns, C is. Only A's slot may come back, once,
// so B and C each get their own answer and the count stays true.
TEST_F(InferenceEngineTest, AnEnqueueRefusedAfterTheTimeOutGivesBackOnlyItsOwnSlot) {
    EngineTestConfig config(env.root() + "/timeout.ini", "InferenceRequestTimeout=1\n");
    env.writeRuntimeArgs({{"slow_refusal_every", "3"}});  // the first call waits, then is refused
    auto model = env.makeModel("a", kEcho);
    qz::test::LogWaiter log;
    auto engine = startEngine({{"a", model}});
    std::thread slow([&] { engine->sendInput(makeRequest(model, "camera-1", 1), makeInput(1)); });
    ASSERT_TRUE(log.waitForCount("got no answer within 1 s", 1)) << log.text();
    EXPECT_EQ(engine->inFlight(), 1);  // A's slot stays taken while its call runs
    env.holdOutputs(true);             // B stays unanswered until C is sent
    engine->sendInput(makeRequest(model, "camera-2", 2), makeInput(2));
    env.releaseEnqueues();
    slow.join();
    EXPECT_EQ(engine->inFlight(), 1);
    engine->sendInput(makeRequest(model, "camera-1", 3), makeInput(3));
    env.holdOutputs(false);
    ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 2 && engine->inFlight() == 0; }));

    std::set<int64_t> answered;
    while (auto out = popOutput(queue, std::chrono::milliseconds(0))) {
        EXPECT_EQ(echoedValue(*out), static_cast<float>(out->request->timestampUs));
        answered.insert(out->request->timestampUs);
    }
    EXPECT_EQ(answered, (std::set<int64_t>{2, 3}));
    EXPECT_EQ(log.count("has no pending request"), 0u) << log.text();
}

// Two requests time out in turn in slot 0 before the first one's late answer
// comes: both answers are named late and dropped, none matches a request.
TEST_F(InferenceEngineTest, LateAnswersOfSeveralTimedOutRequestsOfOneSlotAreAllNamedLate) {
    EngineTestConfig config(env.root() + "/timeout.ini", "InferenceRequestTimeout=1\n");
    env.writeRuntimeArgs({{"drop_every", "1"}, {"drop_answer_ms", "4000"}});
    auto model = env.makeModel("a", kEcho);
    qz::test::LogWaiter log;
    auto engine = startEngine({{"a", model}});
    for (int i = 1; i <= 2; ++i) {
        engine->sendInput(makeRequest(model, "camera-1", i), makeInput(static_cast<float>(i)));
        ASSERT_TRUE(log.waitForCount("got no answer within 1 s", static_cast<size_t>(i))) << log.text();
    }
    ASSERT_TRUE(log.waitForCount("Warning! Dropping late output for ID 100: its request timed out", 1)) << log.text();
    EXPECT_EQ(log.count("Warning! Dropping late output for ID 0: its request timed out"), 1u) << log.text();
    EXPECT_EQ(log.count("has no pending request"), 0u) << log.text();
    EXPECT_EQ(queue.count.load(), 0u);
    EXPECT_EQ(engine->inFlight(), 0);
}

// Inputs alternate between two cameras (engine input rate = twice camera-1's);
// camera-1's first output comes after camera-2's, so its own output ring holds
// one event (rate 0) while the engine's holds several.
TEST_F(InferenceEngineTest, EachRateOfAReportIsTheOneItNames) {
    env.writeRuntimeArgs({});
    auto model = env.makeModel("a", kEcho);
    auto engine = startEngine({{"a", model}});
    for (int i = 0; i < 9; ++i) engine->recordInputTime({i % 2 ? "camera-2" : "camera-1", ""});
    for (int i = 0; i < 3; ++i) {
        engine->sendInput(makeRequest(model, "camera-2"), makeInput(1));
        ASSERT_TRUE(popOutput(queue));
    }
    engine->sendInput(makeRequest(model, "camera-1"), makeInput(1));
    auto out = popOutput(queue);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->reportThroughput);
    EXPECT_EQ(out->deviceOutputRate, 0.0);
    EXPECT_GT(out->engineOutputRate, 0.0);
    EXPECT_GT(out->deviceInputRate, 0.0);
    EXPECT_NEAR(out->engineInputRate, 2.0 * out->deviceInputRate, 1e-6 * out->engineInputRate);
}

TEST(ThroughputRing, RatesFollowTheMeanIntervalOverTheWindow) {
    qzai::ThroughputRing ring(2);
    EXPECT_EQ(ring.rate(), 0.0);
    ring.add(1'000'000'000);
    EXPECT_EQ(ring.rate(), 0.0);
    ring.add(1'010'000'000);  // 10 ms
    EXPECT_DOUBLE_EQ(ring.rate(), 100.0);
    ring.add(1'030'000'000);  // 20 ms
    ring.add(1'070'000'000);  // 40 ms replaces the 10 ms interval
    EXPECT_DOUBLE_EQ(ring.rate(), 1000.0 / 30.0);

    // Window lengths that would divide by zero or allocate without bound.
    EXPECT_EQ(qzai::ThroughputRing(0).windowLength(), 100u);
    EXPECT_EQ(qzai::ThroughputRing(-5).windowLength(), 100u);
    EXPECT_EQ(qzai::ThroughputRing(int64_t{1} << 40).windowLength(), 100000u);
}

}  // namespace
