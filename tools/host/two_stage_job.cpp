#include "host/two_stage_job.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/main_job_events.h"
#include "host/patience.h"
#include "host/road_rig.h"

namespace qz::test_host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLanes = 4;
constexpr uint8_t kBright = 235;
constexpr uint8_t kDim = 170;
constexpr float kLevel = 185.0f;
constexpr const char* kChildId = "levels-1";
constexpr const char* kChildOutput = "bboxes-format:xyxysc;0:dim;1:bright";
constexpr const char* kChildScores = "scores-0:dim;1:bright";
// Longest wait for a round's packets (scaled by patient()). A round normally
// comes back within milliseconds; a sanitised build preprocesses a 640 x 640
// input per camera in about half a second, and a frame refused for want of
// room gives none.
constexpr auto kTwoStageRoundTimeout = std::chrono::milliseconds(5000);
// The scripted camera clock: one round every 40 ms of camera time, however
// long the machine takes for it, so that the tracker never sees a gap.
constexpr int64_t kTwoStageFramePeriodUs = 40000;

const std::string kParentType = std::string("qz.qzai.") + RoadRig::kClassName;
const std::string kDimType = "qz.qzai.dim";
const std::string kBrightType = "qz.qzai.bright";

// The four squares camera c draws in frame f: one per horizontal lane, each
// moving back and forth along it; lanes (i + c) % 4 < 2 are bright.
std::vector<Square> squaresAt(const MainJobOptions& options, int camera, int frame) {
    const int laneHeight = options.height / kLanes;
    const int side = laneHeight * 4 / 7;
    const int span = std::max(1, options.width - side - 32);
    std::vector<Square> squares;
    for (int lane = 0; lane < kLanes; ++lane) {
        const int travel = (camera * 131 + lane * 257 + frame * 6) % (2 * span);
        const int x = 16 + (travel < span ? travel : 2 * span - travel);
        const int y = lane * laneHeight + (laneHeight - side) / 2;
        squares.push_back({x, y, side, (lane + camera) % kLanes < 2 ? kBright : kDim});
    }
    return squares;
}

double iouWith(const RecordedMetadata& object, const Square& square, const MainJobOptions& options) {
    return iou(object.box, static_cast<double>(square.x) / options.width,
               static_cast<double>(square.y) / options.height, static_cast<double>(square.size) / options.width,
               static_cast<double>(square.size) / options.height);
}

std::string trackText(const RecordedMetadata& object) {
    return std::to_string(object.trackId.high()) + ":" + std::to_string(object.trackId.low());
}

RoadRigOptions rigOptions(const MainJobOptions& options) {
    RoadRigOptions rig = options;
    rig.modelDescriptor = nlohmann::json{
        {"mode", "find_squares"}, {"output_name", RoadRig::kOutputName}, {"class", 0}, {"score", 0.9}}.dump();
    RoadRigChild child;
    child.modelId = kChildId;
    child.descriptor = nlohmann::json{{"mode", "classify"},
                                      {"output_name", kChildOutput},
                                      {"scores_name", kChildScores},
                                      {"levels", {kLevel}}}.dump();
    child.featureExtractionClass = RoadRig::kClassName;
    child.side = 64;
    child.resizing = "Stretch";
    child.classes = {"dim", "bright"};
    child.outputName = kChildOutput;
    child.scoresName = kChildScores;
    if (!options.childPostprocessor.empty()) {
        // Every crop of a frame goes to the one processor under the frame's
        // identity, several at once.
        child.postprocessor = "peer:" + options.childPostprocessor;
        const int64_t timeoutMs = patient(std::chrono::milliseconds(2000)).count();
        rig.externalPostprocessors = nlohmann::ordered_json::array({{{"Name", child.postprocessor},
                                                                     {"TimeoutMs", timeoutMs},
                                                                     {"Command", options.peerPath},
                                                                     {"Schedule", "TENSOR"}}})
                                         .dump();
    }
    rig.children = {child};
    // Each round makes one parent request and four child requests per
    // camera, the children still in the engine when the next round comes:
    // room for all of them, and enough output workers that none is dropped.
    if (rig.iniPath.empty()) {
        const std::string fanOut = std::to_string(std::max(8, 2 * (1 + kLanes) * options.cameras));
        rig.iniValues["MaxNumberConcurrentInputOutputThreads"] = fanOut;
        rig.iniValues["MaxNumberConcurrentInferences"] = fanOut;
    }
    return rig;
}

}  // namespace

bool TwoStageResult::passed() const {
    if (!ok || objectsLeaked != 0 || cameras.empty()) return false;
    for (const TwoStageCameraResult& camera : cameras) {
        if (camera.childClassRight != camera.childObjects) return false;
        if (camera.parentMeanIou < 0.9 || camera.childMeanIou < 0.9) return false;
    }
    return events.ok();
}

TwoStageResult runTwoStageJob(const MainJobOptions& options) {
    TwoStageResult result;
    try {
        RoadRig rig(rigOptions(options));
        TestHost& host = rig.host();
        const std::vector<std::string>& ids = rig.cameraIds();
        if (options.log) std::fprintf(options.log, "data directory: %s\n", rig.dataDirectory().c_str());

        const int64_t clockStartUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
        const auto roundTimeout = patient(kTwoStageRoundTimeout);
        int64_t lastTimestampUs = 0;
        std::map<int64_t, int> frameOfTimestamp;
        int frame = 0;
        auto pushRound = [&] {
            const int64_t timestampUs = lastTimestampUs = clockStartUs + frame * kTwoStageFramePeriodUs;
            frameOfTimestamp[timestampUs] = frame;
            for (int c = 0; c < options.cameras; ++c) {
                FrameLayout layout;
                layout.width = options.width;
                layout.height = options.height;
                layout.timestampUs = timestampUs;
                layout.squares = squaresAt(options, c, frame);
                host.pushFrame(ids[static_cast<size_t>(c)], layout);
            }
            ++frame;
            return timestampUs;
        };
        // Every camera's parent packet of the round came back, and with
        // `children` also a child object for each of its squares.
        auto roundDone = [&](int64_t timestampUs, std::chrono::milliseconds timeout, bool children) {
            return host.recorder().waitUntil(
                [&](const std::vector<RecordedPacket>& packets) {
                    std::map<std::string, size_t> parents, childObjects;
                    for (const RecordedPacket& packet : packets) {
                        if (packet.kind != RecordedPacket::Kind::objects || packet.timestampUs != timestampUs) continue;
                        for (const RecordedMetadata& item : packet.items) {
                            if (item.typeId == kParentType) parents[packet.deviceId] = 1;
                            else if (item.typeId == kDimType || item.typeId == kBrightType) ++childObjects[packet.deviceId];
                        }
                    }
                    if (parents.size() != ids.size()) return false;
                    if (!children) return true;
                    for (const std::string& id : ids)
                        if (childObjects[id] < kLanes) return false;
                    return true;
                },
                timeout);
        };
        // A round waits for its parents, then briefly for its children (a
        // child track is reported from its fourth sighting on), so that the
        // next round finds the engine free.
        auto pushAndWait = [&](std::chrono::milliseconds childWait) {
            const int64_t timestampUs = pushRound();
            return roundDone(timestampUs, roundTimeout, false) && roundDone(timestampUs, childWait, true);
        };

        const auto readyDeadline = Clock::now() + patient(std::chrono::seconds(60));
        // The first object packet shows the road is open (event packets may
        // come earlier); until then frames go every 40 ms.
        auto anyObjects = [](const std::vector<RecordedPacket>& packets) {
            return std::any_of(packets.begin(), packets.end(),
                               [](const RecordedPacket& p) { return p.kind == RecordedPacket::Kind::objects; });
        };
        while (!host.recorder().waitUntil(anyObjects, std::chrono::milliseconds(40))) {
            if (Clock::now() > readyDeadline) throw std::runtime_error("no packet came back in time");
            pushRound();
        }
        while (!pushAndWait(std::chrono::milliseconds(200))) {
            if (Clock::now() > readyDeadline) throw std::runtime_error("no whole round came back in time");
        }
        if (options.log) std::fprintf(options.log, "inference is running after %d frame(s); pushing frames...\n", frame);

        const int64_t firstMeasuredUs = lastTimestampUs + 1;
        for (int f = 0; f < options.frames; ++f) pushAndWait(roundTimeout);

        for (int c = 0; c < options.cameras; ++c) {
            TwoStageCameraResult camera;
            camera.deviceId = ids[static_cast<size_t>(c)];
            camera.framesPushed = static_cast<size_t>(options.frames);
            std::set<std::string> childTracks;
            double parentIou = 0.0, childIou = 0.0;
            for (const RecordedPacket& packet : host.recorder().packets(camera.deviceId)) {
                if (packet.timestampUs < firstMeasuredUs) continue;
                if (packet.kind == RecordedPacket::Kind::events) ++camera.eventPackets;
                if (packet.kind != RecordedPacket::Kind::objects) continue;
                const auto known = frameOfTimestamp.find(packet.timestampUs);
                bool childPacket = false;
                for (const RecordedMetadata& object : packet.items) {
                    const bool child = object.typeId == kDimType || object.typeId == kBrightType;
                    childPacket = childPacket || child;
                    if (known == frameOfTimestamp.end()) continue;
                    const std::vector<Square> drawn = squaresAt(options, c, known->second);
                    const Square* best = nullptr;
                    double bestIou = 0.0;
                    for (const Square& square : drawn) {
                        const double overlap = iouWith(object, square, options);
                        if (overlap > bestIou) bestIou = overlap, best = &square;
                    }
                    if (!child) {
                        ++camera.parentObjects;
                        parentIou += bestIou;
                        continue;
                    }
                    ++camera.childObjects;
                    childIou += bestIou;
                    childTracks.insert(trackText(object));
                    if (best && (object.typeId == kBrightType) == (best->luma >= kLevel)) ++camera.childClassRight;
                }
                if (childPacket && known == frameOfTimestamp.end()) ++camera.childUnknownTimestamps;
            }
            camera.parentMeanIou = camera.parentObjects ? parentIou / static_cast<double>(camera.parentObjects) : 0.0;
            camera.childMeanIou = camera.childObjects ? childIou / static_cast<double>(camera.childObjects) : 0.0;
            camera.childTracks = childTracks.size();
            result.cameras.push_back(std::move(camera));
        }
        host.recorder().waitUntil(objectsHaveTheirEvents, roundTimeout);
        RunEventFacts facts;
        facts.deviceIds = ids;
        facts.frameOfTimestamp = frameOfTimestamp;
        facts.className = RoadRig::kClassName;
        facts.squaresPerFrame = kLanes;
        facts.squaresAt = [&options](int camera, int f) { return squaresAt(options, camera, f); };
        facts.childClass = [](const Square& square) { return std::string(square.luma >= kLevel ? "bright" : "dim"); };
        facts.width = options.width;
        facts.height = options.height;
        result.events = awaitRunEvents(host.recorder(), facts, roundTimeout);
        result.objectsLeaked = host.unload().objectsLeaked;
        result.ok = true;
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

void printTwoStageResult(const TwoStageResult& result, FILE* out) {
    if (!result.ok) {
        std::fprintf(out, "main job failed: %s\n", result.error.c_str());
        return;
    }
    std::fprintf(out, "\n%-40s %7s %8s %8s %8s %8s %8s %7s %8s\n", "camera", "frames", "parents", "mean IoU",
                 "children", "class ok", "mean IoU", "tracks", "unknown");
    for (const TwoStageCameraResult& camera : result.cameras) {
        std::fprintf(out, "%-40s %7zu %8zu %8.3f %8zu %8zu %8.3f %7zu %8zu\n", camera.deviceId.c_str(),
                     camera.framesPushed, camera.parentObjects, camera.parentMeanIou, camera.childObjects,
                     camera.childClassRight, camera.childMeanIou, camera.childTracks, camera.childUnknownTimestamps);
    }
    std::fprintf(out,
                 "\nparents: squares found by the top-level stage; children: each square's crop classified as dim or "
                 "bright (class ok: matches the drawn luma; expected 4 child tracks and 0 unknown timestamps per "
                 "camera)\n");
    std::fprintf(out, "library objects left alive after unloading: %zu\n", result.objectsLeaked);
    result.events.print(out);
    std::fprintf(out, "%s\n", result.passed() ? "two-stage run: PASSED" : "two-stage run: FAILED");
}

}  // namespace qz::test_host
