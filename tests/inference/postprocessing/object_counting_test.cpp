#include "inference/postprocessing/object_counting.h"

#include <gtest/gtest.h>

#include "inference/postprocessing/postprocessing.h"
#include "scripted_scene.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::ScriptedScene;
using qzai::testing::TestCamera;

namespace {

qzai::ObjectsByClass frameOf(std::vector<std::pair<std::string, size_t>> counts) {
    qzai::ObjectsByClass objects;
    for (const auto& [name, n] : counts) {
        auto& list = objects[name];
        for (size_t i = 0; i < n; ++i) list.push_back(std::make_shared<qzai::QzAIObject_t>());
    }
    return objects;
}

std::string described(const qzai::EventPtr& event) {
    if (!event) return "<none>";
    EXPECT_STREQ(event->typeId(), "qz.qzai.counted");
    EXPECT_STREQ(event->caption(), "Objects counted");
    EXPECT_TRUE(event->isActive());
    return event->description();
}

TEST(ObjectCounting, ModeOverTheLastTenFramesOfTheClass) {
    constexpr size_t kAbsent = SIZE_MAX;  // a frame with one person and no car
    constexpr size_t kLate = SIZE_MAX - 1;  // a frame with one car, stamped two seconds early
    struct Case {
        const char* name;
        std::vector<size_t> counts;  // of "car", one frame each
        const char* last;            // description after the last frame
        int64_t stepUs = 0;          // between frames
    };
    const Case cases[] = {
        {"tie goes to the oldest", {2, 3, 3, 2}, "\ncar: 2\n"},
        {"all different: the oldest", {1, 2, 3}, "\ncar: 1\n"},
        // The last ten hold five 1s and five 4s, a 1 first; with the two
        // 4s before them (eleven or twelve kept) 4 would win.
        {"twelve frames keep ten", {4, 4, 1, 4, 1, 4, 1, 4, 1, 4, 1, 4}, "\ncar: 1\n"},
        {"all zero: no event", {0, 0}, "<none>"},
        {"absent for a second: kept", {3, 3, kAbsent, 1}, "\ncar: 3\n", 500'000},
        {"absent over a second: afresh", {3, 3, kAbsent, kAbsent, 1}, "\ncar: 1\n", 400'000},
        {"a late frame forgets nothing newer", {3, 3, 3, kLate, kAbsent, 1}, "\ncar: 3\n", 300'000},
    };
    for (const Case& c : cases) {
        qzai::PostprocessingState state("");
        const TestCamera camera;
        std::string last;
        for (size_t f = 0; f < c.counts.size(); ++f) {
            const bool late = c.counts[f] == kLate;
            const auto objects = c.counts[f] == kAbsent ? frameOf({{"person", 1}})
                                                        : frameOf({{"car", late ? 1 : c.counts[f]}});
            const int64_t timestampUs = int64_t(f) * c.stepUs - (late ? 2'000'000 : 0);
            last = described(qzai::countObjects(state, camera.request(timestampUs), objects));
        }
        EXPECT_EQ(last, c.last) << c.name;
        EXPECT_LE(state.countHistory["cam-1"]["car"].counts.size(), 10u);
    }
}

TEST(ObjectCounting, ClassesInNameOrderAbsentClassesKeepTheirHistoryDevicesSeparate) {
    qzai::PostprocessingState state("");
    const TestCamera camA("cam-a"), camB("cam-b");
    EXPECT_EQ(described(qzai::countObjects(state, camA.request(0), frameOf({{"person", 1}, {"car", 3}}))),
              "\ncar: 3\nperson: 1\n");
    // "car" absent: its history stays 3; person's becomes 1, 2 (mode 1).
    EXPECT_EQ(described(qzai::countObjects(state, camA.request(0), frameOf({{"person", 2}}))), "\nperson: 1\n");
    EXPECT_EQ(described(qzai::countObjects(state, camA.request(0), frameOf({{"car", 5}, {"person", 0}}))),
              "\ncar: 3\nperson: 1\n");  // car 3, 5 -> 3; person 1, 2, 0 -> 1
    // An empty frame touches nothing.
    const auto before = state.countHistory;
    EXPECT_EQ(described(qzai::countObjects(state, camA.request(0), {})), "<none>");
    EXPECT_EQ(state.countHistory, before);
    // Another device starts its own history.
    EXPECT_EQ(described(qzai::countObjects(state, camB.request(0), frameOf({{"car", 1}}))), "\ncar: 1\n");
    EXPECT_EQ(state.countHistory.at("cam-a").at("car").counts, (std::deque<uint64_t>{3, 5}));
}

TEST(ObjectCounting, CountsOnlyReportedObjectsThatPassTheMasks) {
    // Three cars; the one at x 0.7 stands under an exclusive mask. Counting
    // starts at the first reported frame (the fifth).
    TestCamera camera;
    camera.stage().masks = {{1, {0.6f, 0.0f, 1.0f, 0.0f, 1.0f, 1.0f, 0.6f, 1.0f}}};
    ScriptedScene scene;
    for (float x : {0.2f, 0.45f, 0.7f}) scene.add({{{0, x, 0.5f}, {5, x, 0.5f}}});
    qzai::PostprocessingState state("");
    std::vector<std::string> got;
    for (int f = 0; f <= 5; ++f) {
        qzai::InferenceOutput output;
        output.request = camera.request(ScriptedScene::timestampUs(f));
        output.output = scene.frame(f);
        std::string description = "<none>";
        for (const auto& event : qzai::Postprocessing(state, output).events) description = described(event);
        got.push_back(description);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"<none>", "<none>", "<none>", "<none>", "\ncar: 2\n", "\ncar: 2\n"}));
}

}  // namespace
