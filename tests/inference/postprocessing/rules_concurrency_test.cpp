// Eight output workers post-process shuffled frames of two cameras with every
// frame rule on (masks, rates on every output, class scores, a line, counting)
// and share the objects the way the packet assembly does. Run under
// ThreadSanitizer; the engine's throughput line is counted through the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "common/support/log_capture.h"
#include "inference/postprocessing/object_metadata.h"
#include "inference/postprocessing/postprocessing.h"
#include "scripted_scene.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::ScriptedObject;
using qzai::testing::ScriptedScene;
using qzai::testing::TestCamera;

TEST(RulesConcurrency, WorkersRunEveryRuleOnShuffledFramesOfTwoCameras) {
    constexpr int kFrames = 150;
    constexpr int kWorkers = 8;
    TestCamera cameras[2] = {TestCamera("cam-a"), TestCamera("cam-b")};
    for (TestCamera& camera : cameras) {
        auto& stage = camera.stage();
        stage.lineCrossingEnabled = true;
        stage.lineX1 = 0.5f, stage.lineY1 = 0.0f, stage.lineX2 = 0.5f, stage.lineY2 = 1.0f;
        stage.masks = {{0, {0.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.9f, 0.0f, 0.9f}},
                       {1, {0.0f, 0.0f, 0.1f, 0.0f, 0.1f, 1.0f}}};
        camera.model().scoresOutputName = "scores-0:a;1:b;2:c";
        camera.model().scoresClasses = {"a", "b", "c"};
    }
    // Six objects sweep back and forth across the line in their own lanes.
    ScriptedScene scene;
    for (int o = 0; o < 6; ++o) {
        const float y = 0.1f + 0.13f * o;
        const float from = o % 2 ? 0.7f : 0.3f, to = o % 2 ? 0.3f : 0.7f;
        scene.add(ScriptedObject{{{0, from, y}, {40, to, y}, {80, from, y}, {120, to, y}, {kFrames, from, y}},
                                 0.1f, 0.1f, o % 2});
    }

    std::vector<std::pair<int, int>> jobs;
    for (int f = 0; f < kFrames; ++f)
        for (int c = 0; c < 2; ++c) jobs.emplace_back(c, f);
    std::shuffle(jobs.begin(), jobs.end(), std::mt19937(2026));

    qz::test::LogCapture log(1);
    qzai::PostprocessingState state("");
    std::atomic<size_t> next{0}, fpsEvents{0}, categoryEvents{0}, malformed{0};
    auto worker = [&] {
        for (size_t j; (j = next.fetch_add(1)) < jobs.size();) {
            const auto [c, f] = jobs[j];
            qzai::InferenceOutput output;
            output.request = cameras[c].request(ScriptedScene::timestampUs(f));
            const auto detections = scene.frame(f);
            const auto* rows = static_cast<const float*>(detections->tensors[0].data);
            const size_t values = detections->tensors[0].byteSize / sizeof(float);
            output.output = qzai::testing::makeTensorSet({{qzai::testing::kDetectionName, {rows, rows + values}},
                                                    {"scores-0:a;1:b;2:c", {0.1f, float(f % 3), 0.2f}}});
            output.reportThroughput = true;
            output.engineInputRate = 50.0, output.deviceInputRate = 25.0;
            output.engineOutputRate = 49.5, output.deviceOutputRate = 24.75;
            const auto result = qzai::Postprocessing(state, output);
            for (const auto& event : result.events) {
                const std::string type = event->typeId();
                if (type == "qz.qzai.fps") ++fpsEvents;
                if (type == "qz.qzai.category") ++categoryEvents;
                if (type == "qz.qzai.linecrossing" &&
                    std::string(event->description()).rfind("Left: ", 0) != 0)
                    ++malformed;
            }
            for (const auto& [name, objects] : result.objects)
                for (const auto& object : objects) qzai::createObjectMetadata(*object);
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) threads.emplace_back(worker);
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(fpsEvents.load(), jobs.size());
    EXPECT_EQ(categoryEvents.load(), jobs.size());
    EXPECT_EQ(malformed.load(), 0u);
    // One engine line when the run starts, then at most one per second.
    const auto lines = log.starting("Engine throughput: [Output/Input] 49.50 / 50.00 \n");
    EXPECT_GE(lines.size(), 1u);
    EXPECT_LE(lines.size(), static_cast<size_t>(seconds) + 1) << "over " << seconds << " s";
    std::lock_guard<std::mutex> lock(state.lineCrossingLock);
    EXPECT_EQ(state.leftCrossings.size(), 2u);
    EXPECT_EQ(state.rightCrossings.size(), 2u);
}
