// A runtime that fails comes back without a setting being touched, no more
// often than the back-off allows, and the user is told while it is down.
#include <gtest/gtest.h>

#include <chrono>

#include "common/messaging_manager.h"
#include "inference/inference_manager.h"
#include "inference/restart_backoff.h"
#include "support/engine_test_env.h"
#include "support/manager_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using engine_test::waitFor;
using namespace manager_test;
using namespace std::chrono_literals;

namespace {

TEST(RestartBackoff, DoublesUpToTheLongestAndResetsAfterACleanRun) {
    using Clock = qzai::RestartBackoff::Clock;
    const Clock::time_point t0{};
    qzai::RestartBackoff backoff(2s, 8s, 60s);
    struct Step {
        Clock::duration at;
        enum { Due, Restart, Running } what;
        bool expected;  // for Due
    };
    const Step steps[] = {
        {0s, Step::Due, true},  // the first failure is restarted at once
        {0s, Step::Restart, false},
        {1s, Step::Due, false},
        {2s, Step::Due, true},
        {2s, Step::Restart, false},  // the next waits 4 s
        {5s, Step::Due, false},
        {6s, Step::Due, true},
        {6s, Step::Restart, false},  // then 8 s, the longest
        {14s, Step::Restart, false},  // still 8 s
        {21s, Step::Due, false},
        {22s, Step::Due, true},
        {22s, Step::Running, false},
        {81s, Step::Running, false},  // 59 s of running: no reset yet
        {82s, Step::Running, false},  // a clean minute: back to the start
        {82s, Step::Due, true},
        {82s, Step::Restart, false},
        {83s, Step::Due, false},
        {84s, Step::Due, true},
    };
    for (const Step& step : steps) {
        const auto now = t0 + step.at;
        if (step.what == Step::Due)
            EXPECT_EQ(backoff.due(now), step.expected) << std::chrono::duration_cast<std::chrono::seconds>(step.at).count();
        else if (step.what == Step::Restart)
            backoff.restarted(now);
        else
            backoff.running(now);
    }
}

class RuntimeRecoveryTest : public ::testing::Test {
protected:
    std::shared_ptr<qzai::ModelDetails_t> model() {
        auto details = env.makeModel("a", echoDescriptor());
        describeImageInput(*details, 16);
        return details;
    }
    bool noticeShown() const { return notices.messages().count("RUNTIME_INIT_FAILED") == 1; }
    std::string noticeText() const {
        const auto all = notices.messages();
        const auto it = all.find("RUNTIME_INIT_FAILED");
        return it == all.end() ? "" : it->second.text;
    }
    // Offers one frame and waits until its worker finished.
    void offer(qzai::InferenceManager& manager, const std::shared_ptr<const qzai::DeviceAgentSettings_t>& settings) {
        manager.sendInputMessage(makeFrame(64, 48, ++timestampUs), settings, makeDetails("cam"), {});
        ASSERT_TRUE(waitFor([&] { return manager.freeInputPermits() == manager.maxWorkers(); }));
    }

    engine_test::EngineTestEnv env;
    qzai::MessagingManager notices;
    int64_t timestampUs = 0;
};

// The runtime fails after three answers; the loop's next pass restarts it.
TEST_F(RuntimeRecoveryTest, ARuntimeThatFailsWhileRunningIsRestartedAndTheNoticeComesAndGoes) {
    env.writeRuntimeArgs({{"retrieve_error_after", "3"}});
    auto a = model();
    auto settings = makeSettings({a});
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    manager.restartFailedRuntime();  // running: nothing to do
    EXPECT_EQ(env.stats().initCalls, 1u);

    for (uint64_t n = 1; n <= 3; ++n) {
        offer(manager, settings);
        ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == n; }));
    }
    ASSERT_TRUE(waitFor([&] { return noticeShown(); }));
    EXPECT_EQ(noticeText(), "The AI runtime stopped with an error: injected retrieve failure");
    offer(manager, settings);  // refused while down
    EXPECT_EQ(env.stats().enqueueAccepted, 3u);

    manager.restartFailedRuntime();
    EXPECT_EQ(env.stats().initCalls, 2u);
    EXPECT_EQ(env.stats().cleanupCalls, 1u);
    EXPECT_FALSE(noticeShown());
    offer(manager, settings);
    ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 4; }));
    EXPECT_EQ(env.stats().inputsFreed, env.stats().enqueueAccepted);
}

// The first initialisation fails; a later pass brings the runtime up once
// the back-off has passed, and nothing earlier restarts it again.
TEST_F(RuntimeRecoveryTest, AnInitialisationFailureIsRetriedAfterTheBackOff) {
    env.writeRuntimeArgs({{"fail_init_times", "1"}});
    auto a = model();
    auto settings = makeSettings({a});
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    EXPECT_EQ(noticeText(), "Failed to initialize the AI runtime: injected init failure");
    ASSERT_TRUE(waitFor(
        [&] {
            manager.restartFailedRuntime();  // as the engine loop does on each pass
            return env.stats().initCalls == 2;
        },
        30s));
    EXPECT_FALSE(noticeShown());
    offer(manager, settings);
    ASSERT_TRUE(waitFor([&] { return env.stats().outputsDelivered == 1; }));
}

TEST_F(RuntimeRecoveryTest, NoRestartWithoutAReadyModelOrAfterTheEngineWasStopped) {
    env.writeRuntimeArgs({{"fail_init", "no device"}});
    auto a = model();
    qzai::InferenceManager manager(env.root(), "", notices, 2);
    manager.start(modelMap({a}));
    a->downloadState = qzai::ModelDownloadState::Failed;
    env.writeRuntimeArgs({});
    manager.restartFailedRuntime();
    EXPECT_EQ(env.stats().initCalls, 1u);
    manager.stopInferenceEngine();
    a->downloadState = qzai::ModelDownloadState::Ready;
    manager.restartFailedRuntime();
    EXPECT_EQ(env.stats().initCalls, 1u);
}

}  // namespace
