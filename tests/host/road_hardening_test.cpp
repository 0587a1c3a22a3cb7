// The inference road through the real plug-in library and the test runtime
// when the runtime misbehaves or the frames and the model are odd: a runtime
// that fails comes back with no setting touched, infinite scores never reach
// the host, one wildly stamped frame does not silence the camera, and a model
// declaring a huge mask input is refused once without the frames allocating.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "common/support/log_files.h"
#include "host/road_rig.h"
#include "host/runtime_recovery_road.h"

namespace qz::test_host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

RoadRigOptions rigOptions(std::map<std::string, std::string> runtimeArgs) {
    RoadRigOptions options;
    options.pluginPath = QZ_PLUGIN_LIBRARY;
    options.runtimePath = QZ_TEST_RUNTIME_LIBRARY;
    options.modelDescriptor = nlohmann::json{
        {"mode", "find_squares"}, {"output_name", RoadRig::kOutputName}, {"class", 0}, {"score", 0.9}}.dump();
    options.runtimeArgs = std::move(runtimeArgs);
    return options;
}

// One camera of a rig: frames with a still square, stamped 100 ms apart from
// the wall clock on, one at a time.
class Camera {
public:
    explicit Camera(RoadRig& rig)
        : m_rig(rig),
          m_nextUs(std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count()) {}

    // Pushes a frame (at `timestampUs`, or the next regular stamp) and waits
    // up to `wait` for its object packet; true when it came.
    bool frame(std::chrono::milliseconds wait, int64_t timestampUs = 0) {
        if (timestampUs == 0) timestampUs = m_nextUs += 100000;
        FrameLayout frame;
        frame.width = kWidth;
        frame.height = kHeight;
        frame.timestampUs = timestampUs;
        frame.squares = {{80, 60, 96, 235}};
        m_rig.host().pushFrame(m_rig.cameraIds()[0], frame);
        return m_rig.host().recorder().waitUntil(
            [&](const std::vector<RecordedPacket>& packets) {
                for (const RecordedPacket& packet : packets)
                    if (packet.kind == RecordedPacket::Kind::objects && packet.timestampUs == timestampUs) return true;
                return false;
            },
            wait);
    }

    // Pushes frames until `done` holds; false after a minute (a hang guard).
    template <typename Done>
    bool until(Done done) {
        const auto deadline = Clock::now() + 60s;
        while (!done()) {
            if (Clock::now() > deadline) return false;
            frame(200ms);
        }
        return true;
    }

    size_t objectPackets() const {
        size_t n = 0;
        for (const RecordedPacket& packet : m_rig.host().recorder().packets(m_rig.cameraIds()[0]))
            n += packet.kind == RecordedPacket::Kind::objects;
        return n;
    }

private:
    RoadRig& m_rig;
    int64_t m_nextUs;
};

std::string logText(const RoadRig& rig) {
    std::string all;
    for (const auto& line : qz::test::readLogLines(fs::path(rig.dataDirectory()) / "qzai_plugin_start.log"))
        all += line + "\n";
    return all;
}

// The runtime fails after every third answer. Packets stop at each failure
// and come back after the engine loop restarted the runtime; the notice is
// raised meanwhile.
TEST(RuntimeRecoveryEndToEnd, ARuntimeFailingWhileRunningComesBackWithNoSettingTouched) {
    const RecoveryRoadResult result = runRuntimeRecoveryRoad(rigOptions({}), 3);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_GE(result.failures, 2u);
    EXPECT_GE(result.restarts, 1u);
    EXPECT_GE(result.noticesRaised, 1u);
    EXPECT_GE(result.runtimeInits, 3u);
    EXPECT_GT(result.packetsAfterRecovery, 0u);
    EXPECT_EQ(result.objectsLeaked, 0u);
}

TEST(RuntimeRecoveryEndToEnd, AFirstInitialisationFailureIsRetried) {
    RoadRig rig(rigOptions({{"fail_init_times", "1"}}));
    Camera camera(rig);
    ASSERT_TRUE(camera.until([&] { return camera.objectPackets() > 0; })) << logText(rig);
    EXPECT_EQ(roadLogCount(rig, "Notice: [Warning] RUNTIME_INIT_FAILED: Failed to initialize the AI runtime: injected"),
              1u);
    EXPECT_EQ(loadedRuntimeStats(rig).initCalls, 2u);
    EXPECT_EQ(rig.host().unload().objectsLeaked, 0u);
}

// Every third request is answered only after 2 s, past the request time-out
// of 1 s: its slot comes back with a warning, its late answer is dropped
// instead of being matched to the newer request in that slot, and the
// camera keeps being answered with room for only two requests.
TEST(RoadHardening, RequestsPastTheTimeOutGiveTheirSlotsBackAndTheirLateAnswersAreDropped) {
    RoadRigOptions options = rigOptions({{"drop_every", "3"}, {"drop_answer_ms", "2000"}});
    options.iniValues["InferenceRequestTimeout"] = "1";
    options.iniValues["MaxNumberConcurrentInferences"] = "2";
    RoadRig rig(options);
    Camera camera(rig);
    ASSERT_TRUE(camera.until([&] {
        return roadLogCount(rig, "Dropping late output for ID") >= 2 && camera.objectPackets() >= 8;
    })) << logText(rig);
    EXPECT_GE(roadLogCount(rig, "got no answer within 1 s; its slot is given back"), 2u);
    EXPECT_GE(roadLogCount(rig, "Notice: [Warning] INFERENCE_REQUEST_TIMEOUT"), 1u);
    EXPECT_EQ(roadLogCount(rig, "has no pending request"), 0u);
    EXPECT_EQ(rig.host().unload().objectsLeaked, 0u);
}

TEST(RoadHardening, InfiniteScoresNeverReachTheHost) {
    RoadRig rig(rigOptions({{"infinite_score", "1"}}));
    Camera camera(rig);
    ASSERT_TRUE(camera.until([&] { return loadedRuntimeStats(rig).outputsDelivered >= 8; }));
    rig.host().unload();  // every output worker has finished
    EXPECT_EQ(camera.objectPackets(), 0u);
}

TEST(RoadHardening, OneFrameStampedFarAheadDoesNotSilenceTheCamera) {
    RoadRig rig(rigOptions({}));
    Camera camera(rig);
    ASSERT_TRUE(camera.until([&] { return camera.objectPackets() >= 3; }));
    camera.frame(1s, std::numeric_limits<int64_t>::max());
    int answered = 0;
    for (int i = 0; i < 10; ++i) answered += camera.frame(2s);
    EXPECT_GE(answered, 8);
}

TEST(RoadHardening, AHugeMaskInputIsRefusedOnceWithoutAllocating) {
    RoadRigOptions options = rigOptions({});
    options.extraNamedInputs = R"([{"Name": "mask-", "DataType": "uint8", "Shape": [100000, 100000]}])";
    RoadRig rig(options);
    Camera camera(rig);
    const std::string refusal = "declares a mask input of 100000x100000 that cannot be made";
    ASSERT_TRUE(camera.until([&] { return roadLogCount(rig, refusal) > 0; }));
    for (int i = 0; i < 5; ++i) camera.frame(50ms);
    EXPECT_EQ(loadedRuntimeStats(rig).enqueueAccepted, 0u);
    rig.host().unload();
    EXPECT_EQ(roadLogCount(rig, refusal), 1u);
    EXPECT_EQ(camera.objectPackets(), 0u);
}

}  // namespace
}  // namespace qz::test_host
