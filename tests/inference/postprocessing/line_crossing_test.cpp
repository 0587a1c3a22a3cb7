// Line crossing through Postprocessing with tracking, over scripted paths.
// The rules first see an object at its fifth frame. Expected totals are
// read off the paths: with the vertical line x = 0.5 drawn top to bottom,
// moving to larger x is a crossing to the right.
#include "inference/postprocessing/line_crossing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inference/postprocessing/postprocessing.h"
#include "scripted_scene.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::PathKey;
using qzai::testing::ScriptedObject;
using qzai::testing::ScriptedScene;
using qzai::testing::TestCamera;

namespace {

struct LineEnds {
    float x1, y1, x2, y2;
};
constexpr LineEnds kDown{0.5f, 0.0f, 0.5f, 1.0f};

void setLine(TestCamera& camera, LineEnds line) {
    camera.stage().lineCrossingEnabled = true;
    camera.stage().lineX1 = line.x1, camera.stage().lineY1 = line.y1;
    camera.stage().lineX2 = line.x2, camera.stage().lineY2 = line.y2;
}

// "-" without a line-crossing event, else "<left>:<right>".
std::string totals(const qzai::PostprocessingResult& result) {
    for (const auto& event : result.events) {
        if (std::string(event->typeId()) != "qz.qzai.linecrossing") continue;
        EXPECT_STREQ(event->caption(), "Line crossing detected");
        EXPECT_TRUE(event->isActive());
        unsigned long long left = 0, right = 0;
        char tail = 0;
        const int read = std::sscanf(event->description(), "Left: %llu\nRight: %llu%c", &left, &right, &tail);
        EXPECT_EQ(read, 2) << "malformed description: " << event->description();
        return std::to_string(left) + ":" + std::to_string(right);
    }
    return "-";
}

qzai::PostprocessingResult runFrame(qzai::PostprocessingState& state, const TestCamera& camera,
                                    const ScriptedScene& scene, int frame, int64_t timestampUs) {
    qzai::InferenceOutput output;
    output.request = camera.request(timestampUs);
    output.output = scene.frame(frame);
    return qzai::Postprocessing(state, output);
}

struct CrossingCase {
    const char* name;
    LineEnds line;
    std::vector<ScriptedObject> objects;
    int frames;
    const char* expected;  // per frame from 0, separated by blanks
    std::vector<qzai::InputMask_t> masks = {};
    int shiftFrom = -1;     // frames from this one on come 1 us later
};

class Crossings : public ::testing::TestWithParam<CrossingCase> {};

TEST_P(Crossings, TotalsAfterEveryFrame) {
    const CrossingCase& c = GetParam();
    TestCamera camera;
    setLine(camera, c.line);
    camera.stage().masks = c.masks;
    ScriptedScene scene;
    for (const auto& object : c.objects) scene.add(object);
    qzai::PostprocessingState state("");
    std::string got;
    for (int f = 0; f < c.frames; ++f) {
        const int64_t t = ScriptedScene::timestampUs(f) + (c.shiftFrom >= 0 && f >= c.shiftFrom ? 1 : 0);
        got += (f ? " " : "") + totals(runFrame(state, camera, scene, f, t));
    }
    EXPECT_EQ(got, c.expected);
}

ScriptedObject along(std::vector<PathKey> keys) { return ScriptedObject{std::move(keys)}; }
qzai::InputMask_t rect(int32_t type, float x0, float y0, float x1, float y1) {
    return {type, {x0, y0, x1, y0, x1, y1, x0, y1}};
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Crossings,
    ::testing::Values(
        // Centre x 0.3875 + 0.025 a frame: 0.4875 at frame 4 (first seen,
        // left), 0.5125 at frame 5 (right: one crossing), back from frame 6
        // (0.4875: left). The path ends at frame 10; the totals keep coming.
        CrossingCase{"AcrossAndBack", kDown,
                     {along({{0, 0.3875f, 0.5f}, {5, 0.5125f, 0.5f}, {10, 0.3875f, 0.5f}})}, 13,
                     "- - - - - 0:1 1:1 1:1 1:1 1:1 1:1 1:1 1:1"},
        // Turns at 0.5375 (frame 6) and 0.3875 (frame 12): crossings to the
        // right at 5 and 17, to the left at 8.
        CrossingCase{"BackAndForth", kDown,
                     {along({{0, 0.3875f, 0.5f}, {6, 0.5375f, 0.5f}, {12, 0.3875f, 0.5f}, {18, 0.5375f, 0.5f}})}, 19,
                     "- - - - - 0:1 0:1 0:1 1:1 1:1 1:1 1:1 1:1 1:1 1:1 1:1 1:1 1:2 1:2"},
        // The line ends at y 0.4, above the lane at y 0.5: the centre passes
        // around its end (segment product > 0).
        CrossingCase{"AroundTheEnd", {0.5f, 0.0f, 0.5f, 0.4f},
                     {along({{0, 0.3875f, 0.5f}, {8, 0.5875f, 0.5f}})}, 9, "- - - - - - - - -"},
        // Through the lower end point (frame 5), or around the end over the
        // line's extension: the segment products on either side are negative
        // but the path never crossed the segment.
        CrossingCase{"ThroughAnEndPoint", {0.5f, 0.25f, 0.5f, 0.75f},
                     {along({{0, 0.4375f, 0.6875f}, {4, 0.4375f, 0.6875f}, {5, 0.5f, 0.75f}, {6, 0.5625f, 0.6875f}})},
                     7, "- - - - - - -"},
        CrossingCase{"AroundTheEndOverTheExtension", {0.5f, 0.25f, 0.5f, 0.625f},
                     {{{{0, 0.4375f, 0.5625f}, {4, 0.4375f, 0.5625f}, {5, 0.5f, 0.75f}, {6, 0.5625f, 0.5625f}},
                       0.25f, 0.25f}},
                     7, "- - - - - - -"},
        // Crosses at frame 3 (0.4875 -> 0.5125) before the rules see it;
        // first seen on the far side at frame 4.
        CrossingCase{"StartsOnTheFarSide", kDown,
                     {along({{0, 0.4125f, 0.5f}, {8, 0.6125f, 0.5f}})}, 9, "- - - - - - - - -"},
        // Left at 4 (0.475), on the line at 5 (0.5), right at 6: one
        // crossing; back on the line at 7 and right again at 8: none (the
        // side remembered across an on-line sighting is the last real one).
        CrossingCase{"ThroughAnOnLineSighting", kDown,
                     {along({{0, 0.375f, 0.5f}, {5, 0.5f, 0.5f}, {6, 0.525f, 0.5f}, {7, 0.5f, 0.5f},
                             {8, 0.525f, 0.5f}, {9, 0.55f, 0.5f}})},
                     10, "- - - - - - 0:1 0:1 0:1 0:1"},
        CrossingCase{"AlongTheLine", kDown, {along({{0, 0.5f, 0.2f}, {10, 0.5f, 0.7f}})}, 11,
                     "- - - - - - - - - - -"},
        CrossingCase{"DegenerateLine", {0.5f, 0.5f, 0.5f, 0.5f},
                     {along({{0, 0.3875f, 0.5f}, {6, 0.5375f, 0.5f}, {12, 0.3875f, 0.5f}})}, 13,
                     "- - - - - - - - - - - - -"},
        // Diagonal (0.3, 0.3)-(0.7, 0.7): side = 0.4 (cy - cx), positive
        // before x 0.5 at y 0.5: to the right. Drawn the other way: left.
        CrossingCase{"DiagonalDownRight", {0.3f, 0.3f, 0.7f, 0.7f},
                     {along({{0, 0.3875f, 0.5f}, {6, 0.5375f, 0.5f}})}, 7, "- - - - - 0:1 0:1"},
        CrossingCase{"DiagonalUpLeft", {0.7f, 0.7f, 0.3f, 0.3f},
                     {along({{0, 0.3875f, 0.5f}, {6, 0.5375f, 0.5f}})}, 7, "- - - - - 1:0 1:0"},
        // Two cars, one after the other: totals add up (reset only at the
        // device's first pass).
        CrossingCase{"TotalsAccumulate", kDown,
                     {along({{0, 0.3875f, 0.3f}, {6, 0.5375f, 0.3f}}), along({{7, 0.3875f, 0.7f}, {13, 0.5375f, 0.7f}})},
                     14, "- - - - - 0:1 0:1 0:1 0:1 0:1 0:1 0:1 0:2 0:2"},
        // A car seen at frame 4 (x 0.4) walks through an exclusive mask
        // over 0.405..0.595 for frames 5..29 (tracked, unseen by the rule)
        // and comes out right at frame 30 (x 0.6). Frame 29 prunes its
        // record when it is more than 1 s old: at 4 + 25 frames exactly
        // 1 s (kept: a crossing), one microsecond later forgotten.
        CrossingCase{"MaskedForExactlyOneSecond", kDown,
                     {along({{0, 0.4f, 0.5f}, {4, 0.4f, 0.5f}, {30, 0.6f, 0.5f}})}, 31,
                     "- - - - - - - - - - - - - - - - - - - - - - - - - - - - - - 0:1",
                     {rect(1, 0.405f, 0.0f, 0.595f, 1.0f)}},
        CrossingCase{"MaskedForOneSecondAndAMicrosecond", kDown,
                     {along({{0, 0.4f, 0.5f}, {4, 0.4f, 0.5f}, {30, 0.6f, 0.5f}})}, 31,
                     "- - - - - - - - - - - - - - - - - - - - - - - - - - - - - - -",
                     {rect(1, 0.405f, 0.0f, 0.595f, 1.0f)}, 29}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineCrossing, DevicesKeepTheirOwnTotals) {
    TestCamera cameraA("cam-a"), cameraB("cam-b");
    setLine(cameraA, kDown);
    setLine(cameraB, {0.5f, 1.0f, 0.5f, 0.0f});  // drawn bottom to top: left and right swap
    ScriptedScene scene;
    scene.add(along({{0, 0.3875f, 0.5f}, {6, 0.5375f, 0.5f}}));
    qzai::PostprocessingState state("");
    std::string a, b;
    for (int f = 0; f <= 6; ++f) {
        a = totals(runFrame(state, cameraA, scene, f, ScriptedScene::timestampUs(f)));
        b = totals(runFrame(state, cameraB, scene, f, ScriptedScene::timestampUs(f)));
    }
    EXPECT_EQ(a, "0:1");
    EXPECT_EQ(b, "1:0");
}

TEST(LineCrossing, FrameFinishedLateCountsNoPhantomPair) {
    // Left at 4 and 5 (0.4625, 0.4875), right from 6 (0.5125): one crossing
    // to the right, whether frame 5 is post-processed before or after 6.
    ScriptedScene scene;
    scene.add(along({{0, 0.3625f, 0.5f}, {8, 0.5625f, 0.5f}}));
    for (const auto& order : {std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}, std::vector<int>{0, 1, 2, 3, 4, 6, 5, 7, 8}}) {
        TestCamera camera;
        setLine(camera, kDown);
        qzai::PostprocessingState state("");
        std::string last;
        for (int f : order) last = totals(runFrame(state, camera, scene, f, ScriptedScene::timestampUs(f)));
        EXPECT_EQ(last, "0:1");
    }
}

}  // namespace
