// The dumping rule through the post-processing pipeline with the tracker, on
// scripted frame timestamps (the rule sees an object from the tracker's first
// report on), and directly for the cases the tracker cannot produce.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/support/log_capture.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/postprocessing.h"
#include "postprocessing_fixtures.h"
#include "qz/sdk/helpers/uuid.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::makeDetections;
using qzai::testing::TestCamera;

namespace {

constexpr int64_t kT0 = 1'700'000'000'000'000;  // a camera clock far from 0
constexpr int64_t kStepUs = 250'000;            // frames 250 ms apart

// A 256 x 256 car (class 0) at model pixel x1, in a Stretch 640 x 640 stage:
// a move of 70 px is 0.109 of the frame and keeps the track.
std::vector<float> car(float x1, float y1 = 64) { return {x1, y1, x1 + 256, y1 + 256, 0.9f, 0.0f}; }
std::vector<float> person(float x1) { return {x1, 384, x1 + 64, 448, 0.9f, 1.0f}; }
std::vector<float> rows(std::initializer_list<std::vector<float>> boxes) {
    std::vector<float> all;
    for (const auto& b : boxes) all.insert(all.end(), b.begin(), b.end());
    return all;
}

// The frame's dumping event (other rules add their own), or null.
qzai::EventPtr dumpingEvent(const qzai::PostprocessingResult& result) {
    for (const auto& event : result.events)
        if (std::string(event->typeId()) == "qz.qzai.dumping") return event;
    return {};
}

std::string attribute(const qzai::QzAIObjectPtr& object, const std::string& name) {
    std::string value;
    int count = 0;
    for (const auto& a : object->snapshot().attributes) {
        if (a->name() == name) {
            value = a->value();
            ++count;
        }
    }
    return count > 1 ? "<" + std::to_string(count) + " times>" : value;
}

class DumpingRuleTest : public ::testing::Test {
protected:
    DumpingRuleTest() {
        camera.stage().dumpingEnabled = true;
        camera.stage().dumpingObjectClass = "car";
        camera.stage().dumpingTimeThresholdUs = 15'000'000;
    }

    qzai::PostprocessingResult frame(int64_t atUs, const std::vector<float>& detections) {
        qzai::InferenceOutput output;
        output.request = camera.request(kT0 + atUs);
        output.output = makeDetections(detections);
        return qzai::Postprocessing(state, output);
    }

    // Frames from `fromUs` to `toUs` (inclusive) with the same detections;
    // returns the offsets of the frames that made a dumping event.
    std::vector<int64_t> run(int64_t fromUs, int64_t toUs, const std::vector<float>& detections) {
        std::vector<int64_t> alerts;
        for (int64_t t = fromUs; t <= toUs; t += kStepUs) {
            last = frame(t, detections);
            if (dumpingEvent(last)) alerts.push_back(t);
        }
        return alerts;
    }

    qzai::QzAIObjectPtr firstCar() const { return last.objects.at("car").at(0); }

    qzai::PostprocessingState state{""};
    TestCamera camera;
    qzai::PostprocessingResult last;
};

// The tracker first reports an object on its third frame (500 ms), where the
// rule creates its candidate; the alert falls due 15 s later, exactly.
TEST_F(DumpingRuleTest, StillObjectsAlertAtTheThresholdOncePerFrameAndAgainAfterFiveSeconds) {
    const auto detections = rows({car(0), car(320, 320)});
    EXPECT_EQ(run(0, 15'250'000, detections), std::vector<int64_t>{});
    EXPECT_EQ(attribute(firstCar(), "Stationary time"), "14 s");
    EXPECT_EQ(attribute(firstCar(), "Dumped Object"), "");

    // Two cars fall due at the same frame: one event. The next alert of each
    // comes only once more than 5 s have passed.
    EXPECT_EQ(run(15'500'000, 21'000'000, detections), (std::vector<int64_t>{15'500'000, 20'750'000}));
    ASSERT_EQ(last.objects.at("car").size(), 2u);
    for (const auto& object : last.objects.at("car")) {
        EXPECT_EQ(attribute(object, "Stationary time"), "20 s");
        EXPECT_EQ(attribute(object, "Dumped Object"), "True");
    }
    EXPECT_EQ(run(21'250'000, 26'000'000, detections), std::vector<int64_t>{26'000'000});
    const qzai::EventPtr event = dumpingEvent(last);
    ASSERT_TRUE(event);
    EXPECT_STREQ(event->caption(), "Dumping Detected!");
    EXPECT_STREQ(event->description(), "An object has not moved for longer than 15 seconds.");
    EXPECT_TRUE(event->isActive());
}

TEST_F(DumpingRuleTest, MovementRestartsTheTimeWhileDumpedObjectStays) {
    camera.stage().dumpingTimeThresholdUs = 1'000'000;
    EXPECT_EQ(run(0, 2'000'000, car(0)).size(), 1u);
    EXPECT_EQ(attribute(firstCar(), "Dumped Object"), "True");

    // A jump of 70 px (0.109 of the frame): the moving frame carries no time.
    run(2'250'000, 2'250'000, car(70));
    EXPECT_EQ(attribute(firstCar(), "Stationary time"), "");
    EXPECT_EQ(attribute(firstCar(), "Dumped Object"), "True");
    run(2'500'000, 3'250'000, car(70));
    EXPECT_EQ(attribute(firstCar(), "Stationary time"), "1 s");

    // A drift of 10 px a frame resets once it is more than 64 px away from
    // where the object last moved: at the seventh step, not before.
    float x = 70;
    for (int step = 1; step <= 6; ++step) {
        x += 10;
        run(3'250'000 + step * kStepUs, 3'250'000 + step * kStepUs, car(x));
        EXPECT_NE(attribute(firstCar(), "Stationary time"), "") << step;
    }
    run(5'000'000, 5'000'000, car(x + 10));
    EXPECT_EQ(attribute(firstCar(), "Stationary time"), "");
}

struct WatchCase {
    const char* name;
    bool dumpingEnabled;
    float knownBoxWidth;  // 0: no known box; else a box 0.4 high at the car's place
    bool alerts;
};
void PrintTo(const WatchCase& c, std::ostream* os) { *os << c.name; }

class DumpingWatchTest : public DumpingRuleTest, public ::testing::WithParamInterface<WatchCase> {};

TEST_P(DumpingWatchTest, KnownBoxesAndTheStageDecideWhatIsWatched) {
    const WatchCase& c = GetParam();
    camera.stage().dumpingEnabled = c.dumpingEnabled;
    camera.stage().dumpingTimeThresholdUs = 1'000'000;
    if (c.knownBoxWidth > 0) state.knownBoxes["cam-1"] = {{0.0f, 0.1f, c.knownBoxWidth, 0.4f}};
    EXPECT_EQ(run(0, 2'000'000, car(0)).size(), c.alerts ? 1u : 0u);
    EXPECT_EQ(attribute(firstCar(), "Stationary time"), c.alerts ? "1 s" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DumpingWatchTest,
    ::testing::Values(WatchCase{"watched", true, 0.0f, true},
                      WatchCase{"knownBoxIoU08Ignored", true, 0.5f, false},  // 0.4 / 0.5
                      WatchCase{"knownBoxIoU07Watched", true, 0.4f / 0.7f, true},
                      WatchCase{"noDumpingStage", false, 0.0f, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DumpingRuleTest, ReferenceRunsLearnBoxesOnTheirStageAndSaveThem) {
    const std::string root = ::testing::TempDir() + "dumping_rule_" + std::to_string(::getpid());
    std::filesystem::remove_all(root);
    qzai::PostprocessingState saving(root);
    camera.stage().dumpingTimeThresholdUs = 1'000'000;
    auto frameOf = [&](int64_t t, const std::vector<float>& detections) {
        qzai::InferenceOutput output;
        output.request = camera.request(kT0 + t);
        output.output = makeDetections(detections);
        return qzai::Postprocessing(saving, output);
    };

    // Requests for another stage, or met by a frame without objects, wait.
    saving.requestReferenceRun("cam-1", "other-stage");
    for (int64_t t = 0; t <= 500'000; t += kStepUs) frameOf(t, rows({car(0), car(320, 320)}));
    EXPECT_EQ(saving.referenceRuns["cam-1"], "other-stage");
    saving.requestReferenceRun("cam-1", camera.stage().key);
    frameOf(600'000, {});
    EXPECT_EQ(saving.referenceRuns["cam-1"], camera.stage().key);

    // The run learns both cars and makes no event, and the file has them.
    const auto learned = frameOf(850'000, rows({car(0), car(320, 320)}));
    EXPECT_FALSE(dumpingEvent(learned));
    EXPECT_EQ(saving.referenceRuns["cam-1"], "");
    EXPECT_EQ(saving.knownBoxes["cam-1"].size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(root + "/cache/dumping_known_bboxes.json"));

    // Both are now background: no time, no alert, however long they stay.
    for (int64_t t = 1'250'000; t <= 4'000'000; t += kStepUs) {
        const auto result = frameOf(t, rows({car(0), car(320, 320)}));
        EXPECT_FALSE(dumpingEvent(result));
    }
    EXPECT_EQ(attribute(frameOf(4'250'000, rows({car(0), car(320, 320)})).objects.at("car").at(0), "Stationary time"),
              "");

    // A frame with other objects but no watched class consumes the request.
    saving.requestReferenceRun("cam-1", camera.stage().key);
    frameOf(4'500'000, rows({car(0), person(500)}));
    for (int64_t t = 4'750'000; t <= 5'000'000; t += kStepUs) frameOf(t, person(500));
    EXPECT_EQ(saving.referenceRuns["cam-1"], "");
    EXPECT_EQ(saving.knownBoxes["cam-1"].size(), 2u);
    std::filesystem::remove_all(root);
}

// Direct calls, for frames the tracker would not report.
TEST(DumpingRule, OutOfOrderFramesShowZeroAndStaleCandidatesArePruned) {
    qzai::PostprocessingState state("");
    TestCamera camera;
    camera.stage().dumpingEnabled = true;
    camera.stage().dumpingObjectClass = "car";
    camera.stage().dumpingTimeThresholdUs = 1'000'000;
    auto object = [](float x) {
        qzai::QzAIObjectData_t data;
        data.trackId = qz::sdk::randomUuid();
        data.box = {x, 0.1f, 0.1f, 0.1f};
        return std::make_shared<qzai::QzAIObject_t>(std::move(data));
    };
    const auto a = object(0.1f);
    const auto b = object(0.5f);
    auto see = [&](int64_t t, qzai::QzAIObjectList list) {
        return qzai::detectDumping(state, camera.request(kT0 + t), {{"car", std::move(list)}});
    };

    see(0, {a});
    see(2'000'000, {a});
    EXPECT_EQ(attribute(a, "Stationary time"), "2 s");
    see(-500'000, {a});  // a frame from before the candidate: clamped, never negative
    EXPECT_EQ(attribute(a, "Stationary time"), "0 s");

    // Kept for max(2 x threshold, 60 s) of the device's frame time.
    see(62'000'000, {b});
    EXPECT_EQ(state.dumpingCandidates["cam-1"].size(), 2u);
    see(62'000'001, {b});
    EXPECT_EQ(state.dumpingCandidates["cam-1"].size(), 1u);
    EXPECT_EQ(state.dumpingCandidates["cam-1"].count(b->snapshot().trackId), 1u);

    // A wild timestamp neither overflows nor alerts by itself.
    see(INT64_MIN / 2, {b});
    see(INT64_MAX - kT0, {b});
    EXPECT_EQ(state.dumpingCandidates["cam-1"].size(), 1u);

    // At most 10,000 a device: new ones push out the least recently seen.
    qz::test::LogCapture log;
    qzai::QzAIObjectList crowd;
    for (int i = 0; i < 10'001; ++i) crowd.push_back(object(0.5f));
    see(62'000'002, crowd);  // b and crowd[0] go
    EXPECT_EQ(state.dumpingCandidates["cam-1"].size(), 10'000u);
    EXPECT_EQ(state.dumpingCandidates["cam-1"].count(crowd[0]->snapshot().trackId), 0u);
    EXPECT_EQ(state.dumpingCandidates["cam-1"].count(crowd[1]->snapshot().trackId), 1u);
    EXPECT_EQ(log.count("Warning! Device cam-1 watches more than 10000 objects for dumping"), 1u);
}

}  // namespace
