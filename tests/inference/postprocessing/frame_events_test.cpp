// The frame-level events (throughput, category) and the order in which
// Postprocessing hands every rule's event over.
#include "inference/postprocessing/throughput_events.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "common/support/log_capture.h"
#include "inference/postprocessing/postprocessing.h"
#include "scripted_scene.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::makeTensorSet;
using qzai::testing::ScriptedScene;
using qzai::testing::TestCamera;

namespace {

struct Rates {
    double engineIn, deviceIn, engineOut, deviceOut;
};

qzai::InferenceOutput withRates(const TestCamera& camera, Rates r) {
    qzai::InferenceOutput output;
    output.request = camera.request(0);
    output.reportThroughput = true;
    output.engineInputRate = r.engineIn, output.deviceInputRate = r.deviceIn;
    output.engineOutputRate = r.engineOut, output.deviceOutputRate = r.deviceOut;
    return output;
}

TEST(Throughput, DescriptionWritesEachRateTruncatedTowardZero) {
    struct Case {
        Rates rates;
        const char* description;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {{30.0, 29.97, 59.99, 29.97}, "\nDevice throughput: 29 / 29 Inferences/s\nServer throughput: 59 / 30 Inferences/s\n"},
        {{nan, -2.5, inf, -inf},
         "\nDevice throughput: -9223372036854775808 / -2 Inferences/s\n"
         "Server throughput: 9223372036854775807 / 0 Inferences/s\n"},
        {{1e300, 0.99, 9.2e18, 0.0},
         "\nDevice throughput: 0 / 0 Inferences/s\nServer throughput: 9200000000000000000 / "
         "9223372036854775807 Inferences/s\n"},
    };
    qzai::PostprocessingState state("");
    const TestCamera camera;
    for (const Case& c : cases) {
        const auto event = qzai::reportThroughput(state, withRates(camera, c.rates));
        ASSERT_TRUE(event);
        EXPECT_STREQ(event->typeId(), "qz.qzai.fps");
        EXPECT_STREQ(event->caption(), "Performance");
        EXPECT_FALSE(event->isActive());
        EXPECT_EQ(std::string(event->description()), c.description);
    }
    auto none = withRates(camera, {1, 1, 1, 1});
    none.reportThroughput = false;
    EXPECT_FALSE(qzai::reportThroughput(state, none));
}

TEST(Throughput, EngineLineAtMostOncePerSecondAcrossDevices) {
    qz::test::LogCapture log(2);
    qzai::PostprocessingState state("");
    const TestCamera cameraA("cam-a"), cameraB("cam-b");
    // Two devices' outputs within a second: two events, one engine line.
    EXPECT_TRUE(qzai::reportThroughput(state, withRates(cameraA, {10.0, 5.0, 9.5, 4.75})));
    EXPECT_TRUE(qzai::reportThroughput(state, withRates(cameraB, {10.0, 5.0, 9.5, 4.75})));
    EXPECT_EQ(log.starting("Engine throughput"),
              std::vector<std::string>{"Engine throughput: [Output/Input] 9.50 / 10.00 \n"});

    // The window is kept by the state's clock: half a second ago keeps it
    // shut, a second ago opens it.
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    state.lastThroughputLogNs = now - 500000000;
    qzai::reportThroughput(state, withRates(cameraA, {1, 1, 1, 1}));
    EXPECT_EQ(log.starting("Engine throughput").size(), 1u);
    state.lastThroughputLogNs = now - 1000000000;
    qzai::reportThroughput(state, withRates(cameraA, {1, 1, 1, 1}));
    EXPECT_EQ(log.starting("Engine throughput").size(), 2u);
}

class Category : public ::testing::Test {
protected:
    qzai::EventPtr scores(std::vector<qzai::testing::TestTensor> tensors) {
        return qzai::processScores(state, camera.request(0), makeTensorSet(tensors).get());
    }
    std::string named(std::vector<qzai::testing::TestTensor> tensors) {
        const auto event = scores(std::move(tensors));
        if (!event) return "<none>";
        EXPECT_STREQ(event->typeId(), "qz.qzai.category");
        EXPECT_STREQ(event->caption(), "Category detected");
        EXPECT_TRUE(event->isActive());
        return event->description();
    }

    qz::test::LogCapture log{2};
    qzai::PostprocessingState state{""};
    TestCamera camera;
};

TEST_F(Category, FirstHighestScoreNamesTheClass) {
    camera.model().scoresOutputName = "scores-stored";
    camera.model().scoresClasses = {"a", "b", "c"};
    const float nan = std::nanf("");
    struct Case {
        std::vector<float> values;
        const char* description;
    };
    const Case cases[] = {
        {{0.2f, 0.7f, 0.7f}, "\nb\n"},
        {{nan, -2.0f, -5.0f}, "\nb\n"},  // NaN never wins, not even first
        {{nan, nan, nan}, "<none>"},
    };
    for (const Case& c : cases) EXPECT_EQ(named({{"scores-stored", c.values}}), c.description);
    EXPECT_TRUE(log.starting("Detected changed scores output").empty());
}

TEST_F(Category, ScoresTensorChecks) {
    camera.model().scoresOutputName = "scores-stored";
    camera.model().scoresClasses = {"a", "b", "c", "d"};
    // Three floats for four names: the error line, no event.
    EXPECT_EQ(named({{"scores-stored", {0.1f, 0.2f, 0.3f}}}), "<none>");
    EXPECT_EQ(log.starting("Error! Tensor output size"),
              std::vector<std::string>{"Error! Tensor output size: 3 does not match expected size: 4\n"});

    // Another name brings its own classes, with a verbose line.
    EXPECT_EQ(named({{"scores-0:x;1:y", {0.1f, 0.2f}}}), "\ny\n");
    EXPECT_EQ(log.starting("Detected changed scores output"),
              std::vector<std::string>{"Detected changed scores output: scores-0:x;1:y\n"});

    // Only the first "scores-" tensor counts, even when a later one fits.
    EXPECT_EQ(named({{"other", {1.0f}}, {"scores-0:x", {0.1f, 0.2f}}, {"scores-stored", {0, 0, 0, 1}}}), "<none>");
    EXPECT_EQ(named({{"Scores-stored", {0, 0, 0, 1}}, {"scores-stored", {0, 0, 1, 0}}}), "\nc\n");

    // No classes and no scores: nothing, no error line.
    log.clear();
    EXPECT_EQ(named({{"scores-", {}}}), "<none>");
    EXPECT_TRUE(log.starting("Error!").empty());
    EXPECT_EQ(named({}), "<none>");
}

TEST(RuleEvents, OneOutputFiringEveryRuleListsThemInRuleOrder) {
    TestCamera camera;
    camera.stage().lineCrossingEnabled = true;
    camera.stage().lineX1 = 0.5f, camera.stage().lineY1 = 0.0f;
    camera.stage().lineX2 = 0.5f, camera.stage().lineY2 = 1.0f;
    camera.model().scoresOutputName = "scores-0:a;1:b";
    camera.model().scoresClasses = {"a", "b"};
    ScriptedScene scene;
    // Centre x 0.3875 + 0.025 per frame: left of the line at frame 4
    // (0.4875), right of it at frame 5 (0.5125).
    scene.add({{{0, 0.3875f, 0.5f}, {5, 0.5125f, 0.5f}}});
    qzai::PostprocessingState state("");
    std::vector<std::string> types;
    for (int f = 0; f <= 5; ++f) {
        qzai::InferenceOutput output;
        output.request = camera.request(ScriptedScene::timestampUs(f));
        output.output = scene.frame(f);
        if (f == 5) {
            // The same output also carries rates and class scores.
            const auto detections = scene.frame(f);
            const float* rows = static_cast<const float*>(detections->tensors[0].data);
            output.output = makeTensorSet({{qzai::testing::kDetectionName, std::vector<float>(rows, rows + 6)},
                                     {"scores-0:a;1:b", {0.1f, 0.9f}}});
            output.reportThroughput = true;
        }
        const auto result = qzai::Postprocessing(state, output);
        if (f == 5)
            for (const auto& event : result.events) types.emplace_back(event->typeId());
    }
    EXPECT_EQ(types, (std::vector<std::string>{"qz.qzai.fps", "qz.qzai.category", "qz.qzai.linecrossing",
                                               "qz.qzai.counted"}));
}

}  // namespace
