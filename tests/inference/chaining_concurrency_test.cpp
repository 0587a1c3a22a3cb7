// FeatureExtraction children under load: four cameras with ten squares each,
// outputs answered out of order, while the manager restarts with a changed
// model set and stops inference in between. Every child output that is
// delivered reaches its own camera with its parent frame's timestamp and the
// right class; outputs dropped for want of a free worker are only counted.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <nlohmann/json.hpp>

#include "inference/support/chain_road.h"
#include "inference/support/manager_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

using engine_test::SeenPacket;
using qz::test_host::Square;

constexpr int kCameras = 4;
constexpr int kFrames = 24;
constexpr int64_t kFrameStepUs = 60'000;

// Ten squares of camera c: two rows of five, bright and dim in a per-camera order.
std::vector<Square> squaresOf(int camera) {
    std::vector<Square> squares;
    for (int i = 0; i < 10; ++i)
        squares.push_back({10 + (i % 5) * 60, 40 + (i / 5) * 100, 30, static_cast<uint8_t>((i + camera) % 3 ? 235 : 170)});
    return squares;
}

TEST(ChainingConcurrency, ChildOutputsReachTheirOwnCameraWithTheirFrameAndClassThroughRestarts) {
    engine_test::ChainRoad road(16, {{"latency_ms", "1"}, {"latency_jitter_ms", "15"}, {"seed", "7"}});
    auto parent = road.addModel(
        nlohmann::json{{"mode", "find_squares"}, {"output_name", "bboxes-format:xyxysc;0:square"}}.dump(), 160,
        {"square"});
    auto child = road.addModel(nlohmann::json{{"mode", "classify"},
                                              {"output_name", "bboxes-format:xyxysc;0:dim;1:bright"},
                                              {"levels", {185}}}.dump(),
                               16, {"dim", "bright"});
    auto root = engine_test::chainStage(parent, qzai::ChainMethod::Root);
    root.children.push_back(engine_test::chainStage(child, qzai::ChainMethod::FeatureExtraction, "square"));
    road.start(root);

    // Camera c stamps frame f with (f + 1) * step + c, so a timestamp names
    // its camera and frame. Each frame waits (briefly) for its own packet.
    std::atomic<int> framesDone{0};
    auto camera = [&](int c) {
        const std::string id = "cam-" + std::to_string(c);
        const auto details = manager_test::makeDetails(id);
        for (int f = 0; f < kFrames; ++f) {
            const int64_t at = (f + 1) * kFrameStepUs + c;
            road.manager->sendInputMessage(manager_test::makeFrame(320, 240, at, squaresOf(c)), road.settings(),
                                           details, road.recorder.callback(id));
            road.recorder.waitUntil(
                [&](const std::vector<SeenPacket>& packets) {
                    for (const auto& packet : packets)
                        if (packet.timestampUs == at) return true;
                    return false;
                },
                std::chrono::milliseconds(100));
            framesDone.fetch_add(1);
        }
    };
    std::vector<std::thread> cameras;
    for (int c = 0; c < kCameras; ++c) cameras.emplace_back(camera, c);

    // A restart with a changed model, then a stop and a start, while frames flow.
    engine_test::waitFor([&] { return framesDone.load() >= kCameras * kFrames / 3; }, std::chrono::seconds(60));
    child->lastModified = "changed";
    road.manager->start(road.models());
    engine_test::waitFor([&] { return framesDone.load() >= kCameras * kFrames / 2; }, std::chrono::seconds(60));
    road.manager->stopInferenceEngine();
    road.manager->start(road.models());
    for (auto& thread : cameras) thread.join();
    road.manager->waitForWorkers();

    size_t childObjects = 0;
    for (const SeenPacket& packet : road.recorder.packets()) {
        const int c = static_cast<int>(packet.timestampUs % kFrameStepUs);
        ASSERT_EQ(packet.deviceId, "cam-" + std::to_string(c));
        for (const auto& object : packet.objects) {
            const bool bright = object.typeId == "qz.qzai.bright";
            if (!bright && object.typeId != "qz.qzai.dim") continue;
            ++childObjects;
            const Square* best = nullptr;
            double bestIou = 0.0;
            const std::vector<Square> drawn = squaresOf(c);
            for (const Square& square : drawn) {
                const double iou = engine_test::iouOf(object.box, square.x / 320.0f, square.y / 240.0f,
                                                      square.size / 320.0f, square.size / 240.0f);
                if (iou > bestIou) bestIou = iou, best = &square;
            }
            ASSERT_NE(best, nullptr);
            EXPECT_GE(bestIou, 0.8);
            EXPECT_EQ(bright, best->luma > 185) << packet.deviceId << " at " << packet.timestampUs;
        }
    }
    EXPECT_GT(childObjects, 0u);
    EXPECT_EQ(road.env.stats().enqueueWhileNotInitialised, 0u);
    RecordProperty("outputs_dropped", static_cast<int>(road.log.count("Warning! Output processing queue is full!\n")));
}

}  // namespace
