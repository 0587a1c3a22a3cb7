// External processors in the real library's frame pipeline: the test peer
// as image or tensor pre-processor, tensor or objects post-processor, and
// failing in the ways a child process fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host/external_processor_road.h"
#include "host/patience.h"
#include "host/two_stage_job.h"

namespace qz::test_host {
namespace {

ExternalProcessorRoadOptions roadOptions(const std::string& mode, const std::string& transport = "shm") {
    ExternalProcessorRoadOptions options;
    options.pluginPath = QZ_PLUGIN_LIBRARY;
    options.runtimePath = QZ_TEST_RUNTIME_LIBRARY;
    options.peerPath = QZ_PEER_PROGRAM;
    options.mode = mode;
    options.transport = transport;
    return options;
}

TEST(ExternalProcessorRoad, EachProcessorKindShapesWhatArrives) {
    struct Case {
        const char* mode;
        const char* transport;
        const char* resizing;
    };
    const Case cases[] = {
        // Without a processor both classes arrive as drawn.
        {"none", "shm", "Stretch"},
        {"flip", "shm", "Stretch"},
        // A mirrored model input is a mirrored frame with Stretch, and with
        // Fit on a wide frame (padding above and below only).
        {"tensorflip", "tcp", "Stretch"},
        {"tensorflip", "shm", "Fit"},
        {"dropclass", "shm", "Stretch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.transport + " " + c.resizing);
        ExternalProcessorRoadOptions options = roadOptions(c.mode, c.transport);
        options.resizing = c.resizing;
        const ExternalProcessorRoadResult result = runExternalProcessorRoad(options);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_GE(result.processorAnswered, 4u);
        EXPECT_GE(result.meanIou, 0.9);
        if (std::string(c.mode) != "none") {
            EXPECT_EQ(result.unchanged, 0u);
        }
    }
}

TEST(ExternalProcessorRoad, AnObjectsPostprocessorDropsAClassAndAddsItsOwn) {
    const ExternalProcessorRoadResult result = runExternalProcessorRoad(roadOptions("drop"));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_GE(result.processorAnswered, 4u);
    EXPECT_GE(result.meanIou, 0.9);
    EXPECT_EQ(result.unchanged, 0u);
    EXPECT_EQ(result.attributesSeen, result.processorAnswered);
    EXPECT_GE(result.peerEvents, result.processorAnswered);
    // The last frame's best shot may still be on its way.
    EXPECT_GE(result.bestShots + 1, result.processorAnswered);
    EXPECT_EQ(result.smallTrackIds.size(), 1u);
}

TEST(ExternalProcessorRoad, UnloadingWithExchangesInFlightLeavesNoChildAndNoSharedMemory) {
    ExternalProcessorRoadOptions options = roadOptions("drop");
    options.frames = 4;
    options.unloadInFlight = true;
    const ExternalProcessorRoadResult result = runExternalProcessorRoad(options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_GE(result.childrenBeforeUnload, 1u);
    EXPECT_EQ(result.childrenLeft, 0u);
    EXPECT_EQ(result.shmNamesLeft, 0u);
    EXPECT_LT(result.unloadMs, 4000);
}

TEST(ExternalProcessorRoad, FramesKeepComingUnchangedWhenTheProcessorFails) {
    struct Case {
        const char* name;
        std::string behaviour;
        std::string peerOptions;
        uint64_t timeoutMs;
        bool answersFirst;
        size_t crashLines;
        size_t minUnchanged;
        bool hostile;  // a hostile processor: what it costs the host is measured too
        std::string transport;
        std::string mode;
        bool fullHd;
        std::string countLine;  // at most one such line per answer
    };
    const Case cases[] = {
        {"crash after 8 requests", "", ":crashafter=8", 2000, true, 1, 4, false, "shm", "drop", false, ""},
        {"silent", "silent", "", 100, false, 0, 4, false, "shm", "drop", false, ""},
        {"another device id", "otherid", "", 100, false, 0, 4, false, "shm", "drop", false, ""},
        // Hostile peers: cutting the shared memory under the host's mappings
        // (its futex words, its next request, an answer being copied) ...
        {"shrinks the response control segment", "", ":shrink=control", 300, true, 0, 0, true, "shm", "drop", false, ""},
        {"shrinks the request segment", "", ":shrink=request", 300, true, 0, 0, true, "shm", "drop", false, ""},
        {"shrinks the response data mid-copy", "", ":shrink=response:pad=16777216", 300, true, 0, 0, true, "shm", "drop", false, ""},
        {"signals a growth of a removed segment", "", ":realloc=removed", 300, true, 0, 0, true, "shm", "drop", false,
         ""},
        // ... flooding the answers ...
        {"floods class keys", "", ":classflood=200000", 2000, true, 0, 0, true, "shm", "drop", false,
         "is not a class of the model or the processor"},
        {"entries without ids", "", ":noids=300000", 2000, true, 0, 0, true, "shm", "drop", false,
         "Object returned without ID or NewID"},
        // 40,000 new objects then 40,000 unknown ids in a model class (the
        // new objects make every packet match no expectation better).
        {"floods new and unknown ids", "", ":idflood=40000:idclass=big", 2000, false, 0, 0, true, "shm", "drop",
         false, "best shots beyond the first"},
        // ... and never reading a full-HD image pre-processor's requests.
        {"never reads", "neverread", "", 300, false, 0, 4, true, "tcp", "flip", true, ""},
        // One answer of the largest size a frame may have, after the memory
        // is first measured: it must not stay held.
        {"answers 209 MB once", "", ":padat=4:pad=209000000", 2000, true, 0, 0, true, "tcp", "drop", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExternalProcessorRoadOptions options = roadOptions(c.mode, c.transport);
        options.frames = c.hostile ? 20 : 16;
        options.peerBehaviour = c.behaviour;
        options.peerOptions = c.peerOptions;
        // A hostile processor that still answers (a flood, say) needs room to
        // build, send and read its answer in a slow build: its time-out
        // stretches like the test's own waits.
        const bool hostileAnswers = c.hostile && c.answersFirst;
        options.timeoutMs = hostileAnswers ? c.timeoutMs * slowness() : c.timeoutMs;
        options.hostCosts = c.hostile;
        options.countLine = c.countLine;
        if (c.fullHd) {
            options.width = 1920;
            options.height = 1080;
        }
        const ExternalProcessorRoadResult result = runExternalProcessorRoad(options);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.processorAnswered > 0, c.answersFirst);
        EXPECT_GE(result.unchanged, c.minUnchanged);
        if (c.minUnchanged > 0) {
            EXPECT_GE(result.meanIouUnchanged, 0.9);
        }
        // Every frame came within the time-out and the road's own time (the
        // bounds on the road's own costs stretch with a sanitised build and
        // few processors; the processor's time-out does not).
        const auto roadSlack = patient(std::chrono::milliseconds(1500)).count();
        EXPECT_LT(result.slowestPacketMs, static_cast<int64_t>(options.timeoutMs) + roadSlack);
        EXPECT_EQ(result.crashLines, c.crashLines);
        if (!c.hostile) continue;
        EXPECT_LT(result.idleCpuSeconds, 0.2 * slowness());
        EXPECT_LT(result.residentGrowthMb, 50.0);
        EXPECT_LT(result.unloadMs, patient(std::chrono::milliseconds(2000)).count());
        EXPECT_EQ(result.childrenLeft, 0u);
        EXPECT_EQ(result.shmNamesLeft, 0u);
        if (!c.countLine.empty()) {
            EXPECT_LE(result.countedLines, result.framesPushed);
        }
    }
}

// The crops of one frame reach the child stage's processor under the same
// frame identity, several at once: each must still get its own answer back.
TEST(ExternalProcessorRoad, EachCropOfAFrameGetsItsOwnAnswerFromTheChildsProcessor) {
    MainJobOptions options;
    options.pluginPath = QZ_PLUGIN_LIBRARY;
    options.runtimePath = QZ_TEST_RUNTIME_LIBRARY;
    options.peerPath = QZ_PEER_PROGRAM;
    options.pipeline = "two-stage";
    options.childPostprocessor = "echo";
    options.frames = 40;
    options.width = 640;
    options.height = 480;
    const TwoStageResult result = runTwoStageJob(options);
    ASSERT_TRUE(result.ok) << result.error;
    for (const TwoStageCameraResult& camera : result.cameras) {
        SCOPED_TRACE(camera.deviceId);
        EXPECT_GT(camera.childObjects, 0u);
        EXPECT_EQ(camera.childClassRight, camera.childObjects);
        EXPECT_EQ(camera.childTracks, 4u);
    }
}

TEST(ExternalProcessorRoad, ATcpProcessorThatPausesOnceIsAnsweredAgain) {
    // A full-HD image pre-processor that once reads nothing for longer than
    // a frame's time-out, then serves as usual: once it reads again, the
    // frame cut short is finished and the next frames go whole. (The first
    // of them carries that rest too, and the peer answers the cut frame
    // first: its time-out leaves room for both.)
    ExternalProcessorRoadOptions options = roadOptions("flip", "tcp");
    options.frames = 16;
    options.width = 1920;
    options.height = 1080;
    options.timeoutMs = 1000 * slowness();
    const int64_t pauseMs = 1500 * slowness();
    // Its receive buffer stays far below a frame, as it would without growth.
    options.peerOptions = ":pauseat=6:rcvbuf=1048576:pause=" + std::to_string(pauseMs);
    const ExternalProcessorRoadResult result = runExternalProcessorRoad(options);
    ASSERT_TRUE(result.ok) << result.error;
    // Every frame left unanswered once the processor had answered (the one
    // its pause cut short, at least) is followed in time by an answered one.
    const std::vector<int64_t>& answeredAt = result.answeredAtMs;
    auto answered = [](int64_t at) { return at >= 0; };
    const auto firstAnswer = std::find_if(answeredAt.begin(), answeredAt.end(), answered);
    ASSERT_TRUE(firstAnswer != answeredAt.end());
    const int64_t roadSlack = patient(std::chrono::milliseconds(1500)).count();
    const int64_t bound = pauseMs + static_cast<int64_t>(options.timeoutMs) + roadSlack;
    size_t unanswered = 0;
    for (auto at = firstAnswer; at + 1 < answeredAt.end(); ++at) {
        if (answered(*at)) continue;
        ++unanswered;
        const size_t frame = static_cast<size_t>(at - answeredAt.begin());
        const auto next = std::find_if(at + 1, answeredAt.end(), answered);
        ASSERT_TRUE(next != answeredAt.end()) << "nothing answered after frame " << frame;
        EXPECT_LT(*next - result.pushedAtMs[frame], bound) << "frame " << frame;
    }
    EXPECT_GE(unanswered, 1u);
    EXPECT_GE(result.meanIou, 0.9);
    EXPECT_LT(result.slowestPacketMs, static_cast<int64_t>(options.timeoutMs) + roadSlack);
}

}  // namespace
}  // namespace qz::test_host
