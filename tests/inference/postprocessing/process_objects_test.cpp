#include "inference/postprocessing/process_objects.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/object_type_id.h"
#include "inference/postprocessing/track_matching.h"
#include "postprocessing_fixtures.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::makeDetections;
using qzai::testing::makeTensorSet;
using qzai::testing::TestCamera;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// One xyxysc row in model-input pixels (640 x 640, stretched to the frame).
std::vector<float> row(float x1, float y1, float x2, float y2, float score = 0.9f, float cls = 0.0f) {
    return {x1, y1, x2, y2, score, cls};
}

void expectBox(const qzai::BoxXywh& box, float x, float y, float width, float height, float tolerance) {
    EXPECT_NEAR(box.x, x, tolerance);
    EXPECT_NEAR(box.y, y, tolerance);
    EXPECT_NEAR(box.width, width, tolerance);
    EXPECT_NEAR(box.height, height, tolerance);
}

std::vector<float> detectionRows(std::initializer_list<std::vector<float>> list) {
    std::vector<float> all;
    for (const auto& r : list) all.insert(all.end(), r.begin(), r.end());
    return all;
}

class ProcessObjectsTest : public ::testing::Test {
protected:
    qzai::ObjectsByClass frame(int64_t timestampUs, const std::vector<float>& rowValues) {
        auto set = makeDetections(rowValues);
        return qzai::process_objects(state, camera.request(timestampUs), set.get());
    }
    qzai::QzAIObjectList& tracks(const std::string& className, const std::string& device = "cam-1") {
        return state.findDeviceTracks(device)->classes[className];
    }

    qzai::PostprocessingState state{""};
    TestCamera camera;
};

TEST_F(ProcessObjectsTest, StableObjectIsFirstReportedWhenPreviousSightingIsOlderThanTrackAge) {
    for (int64_t ms : {0, 40, 80, 120}) EXPECT_TRUE(frame(ms * 1000, row(64, 64, 128, 128)).empty()) << ms;
    const auto reported = frame(160000, row(64, 64, 128, 128, 0.8f));
    ASSERT_EQ(reported.size(), 1u);
    ASSERT_EQ(reported.at("car").size(), 1u);
    const auto object = reported.at("car")[0]->snapshot();
    EXPECT_EQ(object.firstSeenUs, 0);
    EXPECT_EQ(object.lastSeenUs, 160000);
    EXPECT_FLOAT_EQ(object.confidence, 0.8f);
    EXPECT_EQ(object.typeId, qzai::toObjectTypeId("car"));
    expectBox(object.box, 0.1f, 0.1f, 0.1f, 0.1f, 1e-6f);
    EXPECT_EQ(tracks("car").size(), 1u);

    // A previous sighting exactly 100 ms after birth is not old enough yet.
    const auto person = row(320, 320, 384, 384, 0.9f, 1.0f);
    for (int64_t ms : {1000, 1100, 1140}) EXPECT_EQ(frame(ms * 1000, person).count("person"), 0u) << ms;
    EXPECT_EQ(frame(1180000, person).count("person"), 1u);
}

TEST_F(ProcessObjectsTest, MatchAndReportGapsAreBoundedExactly) {
    frame(0, row(64, 64, 128, 128));
    frame(200000, row(64, 64, 128, 128));
    // Exactly 500 ms after the previous sighting: matched, not reported.
    EXPECT_TRUE(frame(700000, row(64, 64, 128, 128)).empty());
    EXPECT_EQ(tracks("car").size(), 1u);
    // Exactly one second later: still matched.
    frame(1700000, row(64, 64, 128, 128));
    EXPECT_EQ(tracks("car").size(), 1u);
    // One microsecond more: a new track.
    frame(2700001, row(64, 64, 128, 128));
    ASSERT_EQ(tracks("car").size(), 2u);
    EXPECT_EQ(tracks("car")[0]->snapshot().lastSeenUs, 1700000);
    EXPECT_NE(tracks("car")[0]->snapshot().trackId, tracks("car")[1]->snapshot().trackId);
}

TEST_F(ProcessObjectsTest, ObjectsCrossingPathsKeepTheirTrackIds) {
    // A moves right, B moves left, 20 px per 40 ms frame, offset 40 px
    // vertically: a track's own next box always overlaps it best.
    frame(0, detectionRows({row(100, 100, 200, 200), row(300, 140, 400, 240)}));
    const auto idA = tracks("car")[0]->snapshot().trackId;
    const auto idB = tracks("car")[1]->snapshot().trackId;
    for (int step = 1; step <= 10; ++step) {
        const float shift = 20.0f * step;
        frame(step * 40000,
              detectionRows({row(300 - shift, 140, 400 - shift, 240), row(100 + shift, 100, 200 + shift, 200)}));
    }
    ASSERT_EQ(tracks("car").size(), 2u);
    for (const auto& track : tracks("car")) {
        const auto object = track->snapshot();
        EXPECT_EQ(object.trackId, object.box.y < 0.2f ? idA : idB);
    }
}

TEST_F(ProcessObjectsTest, HigherOverlapTakesTheTrackAndTheOtherDetectionStartsOne) {
    frame(0, row(100, 100, 200, 200));
    const auto original = tracks("car")[0]->snapshot().trackId;
    frame(40000, detectionRows({row(110, 100, 210, 200), row(100, 100, 200, 200)}));
    ASSERT_EQ(tracks("car").size(), 2u);
    EXPECT_EQ(tracks("car")[0]->snapshot().trackId, original);
    EXPECT_NEAR(tracks("car")[0]->snapshot().box.x, 100.0f / 640.0f, 1e-6f);
    EXPECT_NE(tracks("car")[1]->snapshot().trackId, original);
    EXPECT_FLOAT_EQ(tracks("car")[1]->snapshot().confidence, 0.0f);
}

TEST_F(ProcessObjectsTest, OvergrownClassListKeepsTheSeventyMostRecentAndLeavesOtherClassesAlone) {
    auto device = state.deviceTracks("cam-1");
    for (int i = 0; i < 101; ++i) {
        qzai::QzAIObjectData_t data;
        data.firstSeenUs = data.lastSeenUs = i * 1000;
        data.box = {0.9f, 0.9f, 0.01f, 0.01f};
        device->classes["car"].push_back(std::make_shared<qzai::QzAIObject_t>(data));
        device->classes["person"].push_back(std::make_shared<qzai::QzAIObject_t>(data));
    }
    frame(1050000, row(10, 10, 20, 20));  // overlaps nothing
    ASSERT_EQ(tracks("car").size(), 71u);
    for (size_t i = 0; i < 70; ++i) EXPECT_EQ(tracks("car")[i]->snapshot().lastSeenUs, (100 - int64_t(i)) * 1000);
    EXPECT_EQ(tracks("car")[70]->snapshot().lastSeenUs, 1050000);
    EXPECT_EQ(tracks("person").size(), 101u);
    // Once none of its tracks is within the match gap, a class is forgotten.
    frame(2040000, row(10, 10, 20, 20));
    EXPECT_EQ(state.findDeviceTracks("cam-1")->classes.count("person"), 0u);
    EXPECT_EQ(tracks("car").size(), 71u);
}

TEST_F(ProcessObjectsTest, UntrustworthyRowsAreSkipped) {
    auto set = makeTensorSet({{qzai::testing::kDetectionName,
                         detectionRows({row(10, 10, 20, 20, 1e-7f), row(10, 10, 20, 20, 0.9f, -1.0f),
                               row(10, 10, 20, 20, 0.9f, 2.0f),  // == number of classes
                               row(10, 10, 20, 20, kNaN), row(10, 10, 20, 20, kInf), row(kInf, 10, 20, 20),
                               row(10, 10, 20, kNaN),
                               row(10, 10, 20, 20, 0.9f, kNaN), row(10, 10, 20, 20, 0.9f, 3e9f),
                               row(10, 10, 20, 20, 0.9f, -3e9f), row(64, 64, 128, 128, 0.9f, 1.9f)}),
                         QZ_ELEMENT_FLOAT32, 20}});  // and a partial trailing row
    qzai::process_objects(state, camera.request(0), set.get());
    EXPECT_EQ(state.findDeviceTracks("cam-1")->classes.count("car"), 0u);
    ASSERT_EQ(tracks("person").size(), 1u);  // 1.9 truncates to class 1
    EXPECT_NEAR(tracks("person")[0]->snapshot().box.x, 0.1f, 1e-6f);
}

TEST_F(ProcessObjectsTest, DetectionTensorAndClassNamesFollowTheTensorName) {
    auto wrongType = makeTensorSet({{qzai::testing::kDetectionName, row(64, 64, 128, 128), QZ_ELEMENT_UINT8}});
    EXPECT_TRUE(qzai::process_objects(state, camera.request(0), wrongType.get()).empty());
    EXPECT_EQ(state.findDeviceTracks("cam-1"), nullptr);

    auto named = makeTensorSet(
        {{"scores-x", {1, 2, 3}}, {"bboxes-format:xyxysc;0:bike;1:truck", row(64, 64, 128, 128, 0.9f, 1)}});
    qzai::process_objects(state, camera.request(0), named.get());
    EXPECT_EQ(tracks("truck").size(), 1u);
    frame(0, row(64, 64, 128, 128, 0.9f, 1));  // the stored name: the model's list
    EXPECT_EQ(tracks("person").size(), 1u);
}

TEST(ProcessObjectsMapping, LetterboxedAndCroppedStagesMapToFrameFractions) {
    qzai::PostprocessingState state("");
    TestCamera fit("fit", qzai::ResizingMethod::Fit);
    auto set = makeDetections(row(0, 140, 640, 500));
    qzai::process_objects(state, fit.request(0), set.get());
    expectBox(state.findDeviceTracks("fit")->classes["car"][0]->snapshot().box, 0, 0, 1, 1, 1e-5f);

    TestCamera cropped("crop", qzai::ResizingMethod::Stretch);
    set = makeDetections(row(0, 0, 320, 320));
    qzai::process_objects(state, cropped.request(0, {0.5f, 0.5f, 0.5f, 0.5f}), set.get());
    expectBox(state.findDeviceTracks("crop")->classes["car"][0]->snapshot().box, 0.5f, 0.5f, 0.25f, 0.25f, 1e-6f);

    TestCamera noInput("zero", qzai::ResizingMethod::Stretch);
    noInput.model().input.width = 0;  // boxes cannot be mapped
    set = makeDetections(row(64, 64, 128, 128));
    qzai::process_objects(state, noInput.request(0), set.get());
    EXPECT_TRUE(state.findDeviceTracks("zero")->classes.empty());
}

// Output workers finish in any order, so one camera's frames may be tracked
// out of order. A late frame still matches: the object's lastSeenUs moves
// back to the late frame's time and its negative age counts as 1 ms. Extreme
// timestamps saturate instead of overflowing.
TEST_F(ProcessObjectsTest, OutOfOrderFramesMatchAndMoveLastSeenBack) {
    frame(300000, row(64, 64, 128, 128));
    frame(100000, row(64, 64, 128, 128));
    ASSERT_EQ(tracks("car").size(), 1u);
    EXPECT_EQ(tracks("car")[0]->snapshot().lastSeenUs, 100000);
    for (int64_t t : {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(), int64_t{0}})
        frame(t, row(64, 64, 128, 128));
    EXPECT_LE(tracks("car").size(), 3u);
}

// A frame answered late, more than the match gap behind newer frames of its
// camera, forgets nothing those frames saw: whether it holds the car or
// nothing, both objects keep their tracks on the next frame.
TEST_F(ProcessObjectsTest, ALateFrameLeavesTheTracksOfNewerFramesAlone) {
    const auto car = row(64, 64, 128, 128);
    const auto both = detectionRows({car, row(320, 320, 384, 384, 0.9f, 1.0f)});
    for (const auto& [name, late] : {std::pair{"the car", car}, std::pair{"nothing", std::vector<float>{}}}) {
        state.trackedObjects.clear();
        for (int64_t ms = 0; ms <= 2000; ms += 40) frame(ms * 1000, both);
        const auto carId = tracks("car")[0]->snapshot().trackId;
        const auto personId = tracks("person")[0]->snapshot().trackId;
        frame(800000, late);
        const auto reported = frame(2040000, both);
        for (const auto& [className, id] : {std::pair{"car", carId}, std::pair{"person", personId}}) {
            const auto it = reported.find(className);
            EXPECT_TRUE(it != reported.end() && it->second[0]->snapshot().trackId == id) << name << ": " << className;
        }
    }
}

// One frame stamped far ahead starts a track that later frames must neither
// match nor keep: the camera's object is reported again at once.
TEST_F(ProcessObjectsTest, AFrameStampedFarAheadDoesNotSilenceTheCamera) {
    for (const int64_t wild : {std::numeric_limits<int64_t>::max(), int64_t{3600} * 1000000 + 400000}) {
        state.trackedObjects.clear();
        int64_t t = 0;
        int reported = 0;
        for (int i = 0; i < 6; ++i, t += 40000) reported += !frame(t, row(64, 64, 128, 128)).empty();
        EXPECT_EQ(reported, 2) << wild;  // from the frame whose previous sighting is 120 ms old
        frame(wild, row(64, 64, 128, 128));
        reported = 0;
        for (int i = 0; i < 10; ++i, t += 40000) reported += !frame(t, row(64, 64, 128, 128)).empty();
        EXPECT_EQ(reported, 10) << wild;
        EXPECT_EQ(tracks("car").size(), 1u) << wild;
    }
}

// A lone sighting last seen exactly the match gap ahead of the frame still
// matches; one microsecond more and it is dropped. A track seen in more
// frames that far ahead is not matched by this late frame but stays.
TEST(TrackMatching, TracksAheadOfTheFrameBeyondTheGapAreNotMatched) {
    struct Case {
        int64_t ahead;
        int64_t seenFor;  // last sighting - first sighting
        size_t listSize;  // after the frame
        bool matched;
    };
    for (const Case& c : {Case{1000000, 0, 1, true}, Case{1000001, 0, 1, false}, Case{1000001, 500000, 2, false}}) {
        qzai::QzAIObjectData_t data;
        data.firstSeenUs = c.ahead - c.seenFor;
        data.lastSeenUs = c.ahead;
        data.box = {0.1f, 0.1f, 0.1f, 0.1f};
        qzai::QzAIObjectList list{std::make_shared<qzai::QzAIObject_t>(data)};
        const auto track = list[0];
        qzai::matchTracks(list, {{{0.1f, 0.1f, 0.1f, 0.1f}, 0.7f}}, 0, "t", {});
        ASSERT_EQ(list.size(), c.listSize) << c.ahead << " " << c.seenFor;
        EXPECT_EQ(list[0] == track, c.listSize == 2 || c.matched) << c.ahead << " " << c.seenFor;
        EXPECT_EQ(track->snapshot().lastSeenUs == 0, c.matched) << c.ahead << " " << c.seenFor;
    }
}

TEST(TrackMatching, RecentTrackOutranksAnOlderOneWithTheSameOverlap) {
    qzai::QzAIObjectList list;
    for (int64_t lastSeen : {-500000, -10000}) {
        qzai::QzAIObjectData_t data;
        data.firstSeenUs = -2000000;
        data.lastSeenUs = lastSeen;
        data.box = {0.1f, 0.1f, 0.1f, 0.1f};
        list.push_back(std::make_shared<qzai::QzAIObject_t>(data));
    }
    const auto reported = qzai::matchTracks(list, {{{0.1f, 0.1f, 0.1f, 0.1f}, 0.7f}}, 0, "t", {});
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], list[1]);
    EXPECT_EQ(list[0]->snapshot().lastSeenUs, -500000);
    EXPECT_EQ(list.size(), 2u);
}

// Ages under 1 ms, including the negative ages of late frames, count as
// 1 ms: between a track seen 0.9 ms ago and one of age 0 or -200 ms, the
// better overlap takes the detection.
TEST(TrackMatching, AgesUnderOneMillisecondCountAsOne) {
    const qzai::BoxXywh detection{0.1f, 0.1f, 0.1f, 0.1f};
    const qzai::BoxXywh halfOverlap{0.1f, 0.1f, 0.1f, 0.05f};
    const qzai::BoxXywh nearOverlap{0.1f, 0.1f, 0.1f, 0.095f};
    struct Case {
        int64_t age;  // of the first track; the second is 900 us old
        qzai::BoxXywh first, second;
        size_t winner;
    };
    for (const Case& c : {Case{0, halfOverlap, nearOverlap, 1}, Case{-200000, nearOverlap, halfOverlap, 0}}) {
        qzai::QzAIObjectList list;
        for (const auto& [box, age] : {std::pair{c.first, c.age}, std::pair{c.second, int64_t{900}}}) {
            qzai::QzAIObjectData_t data;
            data.lastSeenUs = 1000000 - age;
            data.box = box;
            list.push_back(std::make_shared<qzai::QzAIObject_t>(data));
        }
        qzai::matchTracks(list, {{detection, 0.7f}}, 1000000, "t", {});
        ASSERT_EQ(list.size(), 2u) << c.age;
        EXPECT_FLOAT_EQ(list[c.winner]->snapshot().confidence, 0.7f) << c.age;
        EXPECT_FLOAT_EQ(list[1 - c.winner]->snapshot().confidence, 0.0f) << c.age;
    }
}

}  // namespace
