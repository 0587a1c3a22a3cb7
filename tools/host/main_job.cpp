#include "host/main_job.h"

#include "host/external_processor_road.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/main_job_events.h"
#include "host/decoder_road.h"
#include "host/dumping_scenario.h"
#include "host/frame_pacer.h"
#include "host/machine_report.h"
#include "host/patience.h"
#include "host/road_rig.h"
#include "host/two_stage_job.h"
#include "host/rules_scenario.h"
#include "host/runtime_recovery_road.h"

namespace qz::test_host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSquareSide = 160;
// Longest wait for the packets of one round of frames (scaled by patient());
// a frame the plug-in dropped gives none, and the run goes on after this.
constexpr auto kRoundTimeout = std::chrono::milliseconds(1000);
constexpr auto kSlowPacketBound = std::chrono::milliseconds(10000);
// The scripted camera clock: one round of frames every 40 ms of camera time.
constexpr int64_t kFramePeriodUs = 40000;

// The square camera c draws in frame f, in pixels. It moves back and forth
// (never jumps) inside the part of the frame the model sees: the crop box,
// and for "Crop" resizing the centred square of it.
Square squareAt(const MainJobOptions& options, int camera, int frame) {
    const bool cropped = options.cropBox[2] > options.cropBox[0];
    double x0 = (cropped ? options.cropBox[0] : 0.0f) * options.width;
    double x1 = (cropped ? options.cropBox[2] : 1.0f) * options.width;
    double y0 = (cropped ? options.cropBox[1] : 0.0f) * options.height;
    double y1 = (cropped ? options.cropBox[3] : 1.0f) * options.height;
    if (options.resizing == "Crop") {
        const double side = std::min(x1 - x0, y1 - y0);
        x0 += (x1 - x0 - side) / 2, x1 = x0 + side;
        y0 += (y1 - y0 - side) / 2, y1 = y0 + side;
    }
    const int margin = 16;
    const int spanX = std::max(1, static_cast<int>(x1 - x0) - kSquareSide - 2 * margin);
    const int spanY = std::max(1, static_cast<int>(y1 - y0) - kSquareSide - 2 * margin);
    const int travel = (camera * 131 + frame * 6) % (2 * spanX);
    const int offsetX = travel < spanX ? travel : 2 * spanX - travel;
    return {static_cast<int>(x0) + margin + offsetX, static_cast<int>(y0) + margin + (camera * 97) % spanY,
            kSquareSide, 235};
}


void say(FILE* log, const std::string& text) {
    if (log) std::fprintf(log, "%s\n", text.c_str());
}

// The requests the plug-in takes at once under the run's configuration.
int roomOf(const RoadRigOptions& options) {
    std::map<std::string, std::string> values = options.iniValues;
    if (!options.iniPath.empty()) {
        std::ifstream in(options.iniPath);
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            auto trim = [](std::string text) {
                const size_t first = text.find_first_not_of(" \t\r");
                const size_t last = text.find_last_not_of(" \t\r");
                return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
            };
            values[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
        }
    }
    auto value = [&](const char* key) {
        const auto it = values.find(key);
        const int configured = it == values.end() ? 0 : std::atoi(it->second.c_str());
        return configured > 0 ? configured : 8;  // the plug-in's default for both keys
    };
    return std::min(value("MaxNumberConcurrentInferences"), value("MaxNumberConcurrentInputOutputThreads"));
}

}  // namespace

double iou(const sdk::analytics::Rect& a, double bx, double by, double bw, double bh) {
    const double ix = std::max(0.0, std::min<double>(a.x + a.width, bx + bw) - std::max<double>(a.x, bx));
    const double iy = std::max(0.0, std::min<double>(a.y + a.height, by + bh) - std::max<double>(a.y, by));
    const double inter = ix * iy;
    const double uni = static_cast<double>(a.width) * a.height + bw * bh - inter;
    return uni > 0.0 ? inter / uni : 0.0;
}

MainJobResult runMainJob(const MainJobOptions& options) {
    MainJobResult result;
    result.expectedTypeId = std::string("qz.qzai.") + RoadRig::kClassName;
    try {
        result.room = roomOf(options);
        result.refusalsExpected = options.cameras > result.room;
        RoadRigOptions rigOptions = options;
        // Verbose: every reason for refusing a frame is logged, and counted.
        if (rigOptions.iniPath.empty() && !rigOptions.iniValues.count("logVerbosity"))
            rigOptions.iniValues["logVerbosity"] = "2";
        rigOptions.modelDescriptor = nlohmann::json{{"mode", "find_squares"}, {"output_name", RoadRig::kOutputName},
            {"class", 0}, {"score", 0.9}, {"layout", options.outputLayout}}.dump();
        if (options.outputLayout != "rows") rigOptions.rawPostprocessing = decoderRoadPostprocessing(options.outputLayout);
        std::unique_ptr<RulesScript> rules;
        if (options.scenario == "rules") {
            rules = std::make_unique<RulesScript>(options.cameras, options.width, options.height, kSquareSide,
                                                  RoadRig::kModelSide);
            rigOptions.postprocessor = "LineCrossing";
            for (int c = 0; c < options.cameras; ++c) rigOptions.stageSettings.push_back(rules->stageSettings(c));
        } else if (options.scenario == "dumping") {
            runDumpingScenario(options, rigOptions, result);
            return result;
        } else if (!options.scenario.empty()) {
            throw std::runtime_error("unknown scenario: " + options.scenario);
        }
        auto drawn = [&](int camera, int frame) {
            return rules ? rules->squareAt(camera, frame) : squareAt(options, camera, frame);
        };
        rigOptions.runtimeFromRepository = rigOptions.iniPath.empty();
        RoadRig rig(rigOptions);
        TestHost& host = rig.host();
        const std::vector<std::string>& ids = rig.cameraIds();
        result.runtimeInstall = installRuntimeThroughChoice(rig, options.log);
        say(options.log, "data directory: " + rig.dataDirectory());
        say(options.log, "model served at " + rig.modelUrl());
        say(options.log, "cameras offered their pipeline; waiting for the model and the runtime...");

        // Frames carry a scripted camera clock: 40 ms a round from the wall
        // clock at the start, so the tracker and the rules see the same times
        // however fast the machine runs.
        const int64_t clockStartUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
        int64_t lastTimestampUs = 0;
        std::map<int64_t, int> frameOfTimestamp;
        int frame = 0;
        auto pushFrame = [&](size_t camera) {
            FrameLayout frameLayout;
            frameLayout.width = options.width;
            frameLayout.height = options.height;
            frameLayout.timestampUs = lastTimestampUs;
            frameLayout.squares = {drawn(static_cast<int>(camera), frame)};
            host.pushFrame(ids[camera], frameLayout);
        };

        // Warm-up: push rounds of frames, one camera-clock step apart, until
        // every camera is warm and one round came back whole. The plug-in
        // holds a new track back for its first frames (it reports a square
        // only once it has been seen for a while), so a camera whose first
        // admitted frames fell in the measured run would answer them with no
        // object packet; a camera is warm once a frame of it gave one (in the
        // rules scenario, also while its square is outside its masks). With
        // more cameras than room, each round lets the cameras refused longest
        // go first, as the measured run does, so that every camera gets its
        // frames in. A round is whole when every admitted warm camera
        // answered it; the others' frames may give nothing, so a round with
        // no warm camera admitted waits for them one camera period at most.
        // While the plug-in refuses every frame (nothing is ready yet), a
        // round goes every 40 ms. Waiting for the rounds keeps the warm
        // cameras at one frame in flight (two could be tracked out of order).
        const auto roundTimeout = patient(kRoundTimeout);
        const auto period = std::chrono::milliseconds(kFramePeriodUs / 1000);
        const auto readyDeadline = Clock::now() + patient(std::chrono::seconds(30));
        IntakeRefusals warmUpRefusals(rig.dataDirectory());
        std::vector<size_t> order(ids.size());
        for (size_t c = 0; c < order.size(); ++c) order[c] = c;
        std::vector<bool> warm(ids.size(), false);
        for (;;) {
            if (Clock::now() > readyDeadline) throw std::runtime_error("no whole round came back in time");
            lastTimestampUs = clockStartUs + frame * kFramePeriodUs;
            frameOfTimestamp[lastTimestampUs] = frame;
            std::vector<size_t> refused;
            std::vector<size_t> admitted;
            for (const size_t c : order) {
                const size_t before = warmUpRefusals.count();
                pushFrame(c);
                (warmUpRefusals.count() == before ? admitted : refused).push_back(c);
            }
            const int roundFrame = frame++;
            order = refused;
            order.insert(order.end(), admitted.begin(), admitted.end());
            if (admitted.empty()) {
                host.recorder().waitForPackets(SIZE_MAX, period);
                continue;
            }
            std::set<std::string> awaited;
            std::set<std::string> young;
            for (const size_t c : admitted) {
                if (rules && !rules->passesMasks(static_cast<int>(c), roundFrame)) continue;
                (warm[c] ? awaited : young).insert(ids[c]);
            }
            std::set<std::string> answered;
            auto roundAnswers = [&](const std::vector<RecordedPacket>& packets) {
                answered.clear();
                for (const RecordedPacket& packet : packets) {
                    if (packet.kind == RecordedPacket::Kind::objects && packet.timestampUs == lastTimestampUs)
                        answered.insert(packet.deviceId);
                }
            };
            auto answeredAll = [&](const std::set<std::string>& cameras) {
                return std::includes(answered.begin(), answered.end(), cameras.begin(), cameras.end());
            };
            bool whole = host.recorder().waitUntil(
                [&](const std::vector<RecordedPacket>& packets) {
                    roundAnswers(packets);
                    return answeredAll(awaited) && (!awaited.empty() || answeredAll(young));
                },
                awaited.empty() ? period : roundTimeout);
            whole = whole || answeredAll(awaited);
            // Any object packet makes its camera warm, also one of an earlier
            // round that came back after that round's wait (a slow build
            // answers a young camera later than one period).
            std::set<std::string> everAnswered;
            for (const RecordedPacket& packet : host.recorder().packets())
                if (packet.kind == RecordedPacket::Kind::objects) everAnswered.insert(packet.deviceId);
            bool allWarm = true;
            for (size_t c = 0; c < ids.size(); ++c) {
                warm[c] = warm[c] || everAnswered.count(ids[c]) > 0;
                allWarm = allWarm && (warm[c] || (rules && !rules->passesMasks(static_cast<int>(c), roundFrame)));
            }
            if (whole && allWarm) break;
        }
        say(options.log, "inference is running after " + std::to_string(frame) + " frame(s); pushing frames...");

        // The measured run: every camera paced by its own packets; refused
        // frames are counted and skipped. Packets of warm-up frames are left
        // out below.
        const int64_t firstMeasuredUs = lastTimestampUs + 1;
        PacerScript script;
        script.deviceIds = ids;
        script.firstFrame = frame;
        script.frames = options.frames;
        script.period = std::chrono::milliseconds(kFramePeriodUs / 1000);
        // A packet later than this counts as lost and the camera's next frame
        // goes. Only a runtime told to drop answers loses them; otherwise a
        // late packet is a slow machine, and the next frame must not overtake
        // it (the rules would see the frames out of order).
        script.lostAfter = patient(options.runtimeArgs.count("drop_every") ? kRoundTimeout : kSlowPacketBound);
        script.push = [&](int camera, int f) {
            const int64_t timestampUs = clockStartUs + f * kFramePeriodUs;
            frameOfTimestamp[timestampUs] = f;
            FrameLayout frameLayout;
            frameLayout.width = options.width;
            frameLayout.height = options.height;
            frameLayout.timestampUs = timestampUs;
            frameLayout.squares = {drawn(camera, f)};
            host.pushFrame(ids[static_cast<size_t>(camera)], frameLayout);
            return timestampUs;
        };
        script.expectsPacket = [&](int camera, int f) { return !rules || rules->passesMasks(camera, f); };
        IntakeRefusals refusals(rig.dataDirectory());
        const std::vector<PacedCamera> paced = paceFrames(host.recorder(), refusals, script);
        host.recorder().waitUntil(objectsHaveTheirEvents, roundTimeout);

        double iouSum = 0.0;
        for (int c = 0; c < options.cameras; ++c) {
            CameraResult camera;
            camera.deviceId = ids[static_cast<size_t>(c)];
            camera.paced = paced[static_cast<size_t>(c)];
            camera.framesPushed = camera.paced.pushed;
            std::set<std::string> tracks;
            std::string lastTrack;
            int64_t lastTimestamp = 0;
            double cameraIou = 0.0;
            for (const RecordedPacket& packet : host.recorder().packets(camera.deviceId)) {
                if (packet.timestampUs < firstMeasuredUs) continue;
                if (packet.kind != RecordedPacket::Kind::objects) {
                    ++camera.otherPackets;
                    continue;
                }
                ++camera.objectPackets;
                const auto frame = frameOfTimestamp.find(packet.timestampUs);
                if (frame == frameOfTimestamp.end()) {
                    ++camera.unknownTimestamps;
                    continue;
                }
                if (packet.timestampUs < lastTimestamp) result.interleaved = true;
                lastTimestamp = packet.timestampUs;
                const Square square = drawn(c, frame->second);
                for (const RecordedMetadata& object : packet.items) {
                    ++camera.objects;
                    if (object.typeId != result.expectedTypeId) ++camera.wrongTypeIds;
                    const std::string track = std::to_string(object.trackId.high()) + ":" +
                                              std::to_string(object.trackId.low());
                    if (!lastTrack.empty() && track != lastTrack) ++camera.trackChanges;
                    lastTrack = track;
                    tracks.insert(track);
                    cameraIou += iou(object.box, static_cast<double>(square.x) / options.width,
                                     static_cast<double>(square.y) / options.height,
                                     static_cast<double>(square.size) / options.width,
                                     static_cast<double>(square.size) / options.height);
                }
            }
            camera.trackIds = tracks.size();
            camera.meanIou = camera.objects ? cameraIou / static_cast<double>(camera.objects) : 0.0;
            iouSum += cameraIou;
            result.objects += camera.objects;
            result.cameras.push_back(std::move(camera));
        }
        result.meanIou = result.objects ? iouSum / static_cast<double>(result.objects) : 0.0;
        RunEventFacts facts;
        facts.deviceIds = ids;
        facts.frameOfTimestamp = frameOfTimestamp;
        facts.className = RoadRig::kClassName;
        facts.rules = rules.get();
        result.events = awaitRunEvents(host.recorder(), facts, roundTimeout);
        result.settingsPage = checkSettingsPage(host, ids.front(), RoadRig::cameraSettingsFor(rigOptions, 0),
                                                RoadRig::kModelId, rig.dataDirectory());
        const UnloadReport report = host.unload();
        result.objectsLeaked = report.objectsLeaked + report.unmatchedDestroys;
        result.machineReport = machineReportLines(rig.dataDirectory());
        result.ok = true;
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

bool MainJobResult::passed(std::string* why) const {
    auto fail = [&](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (!ok) return fail("the run did not complete: " + error);
    char text[200];
    for (const CameraResult& camera : cameras) {
        const double refused = camera.paced.pushed ? static_cast<double>(camera.paced.refused) /
                                                         static_cast<double>(camera.paced.pushed)
                                                   : 0.0;
        if (!refusalsExpected && refused > kMaxRefusedShare) {
            std::snprintf(text, sizeof text, "%s: %zu of %zu frames refused at intake (above %.0f%%)",
                          camera.deviceId.c_str(), camera.paced.refused, camera.paced.pushed, 100.0 * kMaxRefusedShare);
            return fail(text);
        }
        if (camera.paced.deliveredShare() < kMinDeliveredShare) {
            std::snprintf(text, sizeof text, "%s: %zu of %zu accepted frames came back (below %.0f%%)",
                          camera.deviceId.c_str(), camera.paced.delivered, camera.paced.delivered + camera.paced.lost,
                          100.0 * kMinDeliveredShare);
            return fail(text);
        }
        if (camera.objects == 0 || camera.meanIou < kMinIou) {
            std::snprintf(text, sizeof text, "%s: mean IoU %.3f over %zu object(s) (below %.2f)",
                          camera.deviceId.c_str(), camera.meanIou, camera.objects, kMinIou);
            return fail(text);
        }
    }
    if (refusalsExpected && !cameras.empty()) {
        size_t refused = 0;
        for (const CameraResult& camera : cameras) refused += camera.paced.refused;
        const double mean = static_cast<double>(refused) / static_cast<double>(cameras.size());
        const double allowed =
            std::max({static_cast<double>(kMinRefusalSpread), kMaxRefusalSpread * mean, 3.0 * std::sqrt(mean)});
        for (const CameraResult& camera : cameras) {
            if (std::abs(static_cast<double>(camera.paced.refused) - mean) <= allowed) continue;
            std::snprintf(text, sizeof text, "refusals spread unevenly: %s %zu of %zu frames refused, mean %.1f",
                          camera.deviceId.c_str(), camera.paced.refused, camera.paced.pushed, mean);
            return fail(text);
        }
    }
    if (objectsLeaked) return fail(std::to_string(objectsLeaked) + " library object(s) left alive");
    if (!events.ok()) return fail("the events table differs from what was expected");
    if (!settingsPage.ok) return fail("the settings page differs from what was expected");
    return true;
}

void printMainJobResult(const MainJobResult& result, FILE* out) {
    if (!result.ok) {
        std::fprintf(out, "main job failed: %s\n", result.error.c_str());
        return;
    }
    std::fprintf(out, "\n%-40s %7s %7s %7s %7s %9s %7s %6s %8s\n", "camera", "frames", "refused", "packets", "lost",
                 "delivered", "objects", "tracks", "mean IoU");
    for (const CameraResult& camera : result.cameras) {
        std::fprintf(out, "%-40s %7zu %7zu %7zu %7zu %8.1f%% %7zu %6zu %8.3f\n", camera.deviceId.c_str(),
                     camera.framesPushed, camera.paced.refused, camera.objectPackets, camera.paced.lost,
                     100.0 * camera.paced.deliveredShare(), camera.objects, camera.trackIds, camera.meanIou);
        if (camera.unknownTimestamps || camera.wrongTypeIds || camera.trackChanges)
            std::fprintf(out, "  note: %zu packet(s) with an unknown timestamp, %zu wrong type id(s), %zu track change(s)\n",
                         camera.unknownTimestamps, camera.wrongTypeIds, camera.trackChanges);
    }
    std::fprintf(out, "\nobjects reported: %zu (type id %s), mean IoU against the drawn squares: %.3f\n", result.objects,
                 result.expectedTypeId.c_str(), result.meanIou);
    size_t refused = 0;
    for (const CameraResult& camera : result.cameras) refused += camera.paced.refused;
    if (result.refusalsExpected)
        std::fprintf(out,
                     "refused frames: %zu, expected: %zu cameras share room for %d requests at once, so refusals are "
                     "counted apart and fail the run only when they fall unevenly on the cameras\n",
                     refused, result.cameras.size(), result.room);
    else
        std::fprintf(out, "refused frames: %zu (a camera with more than %.0f%% of its frames refused fails the run)\n",
                     refused, 100.0 * MainJobResult::kMaxRefusedShare);
    printSettingsPageSummary(result.settingsPage, out);
    printRuntimeInstallSummary(result.runtimeInstall, out);
    std::fprintf(out, "library objects left alive after unloading: %zu\n", result.objectsLeaked);
    result.events.print(out);
    if (!result.machineReport.empty()) std::fprintf(out, "\nthis machine as the plug-in saw it:\n");
    for (const std::string& line : result.machineReport) std::fprintf(out, "  %s\n", line.c_str());
}

// The external processor road with the main job's plug-in, runtime and peer.
static int externalProcessorJob(const MainJobOptions& options) {
    ExternalProcessorRoadOptions road;
    road.pluginPath = options.pluginPath;
    road.runtimePath = options.runtimePath;
    road.peerPath = options.peerPath;
    road.mode = options.externalProcessor;
    road.transport = options.processorTransport;
    road.frames = std::min(options.frames, 30);
    const ExternalProcessorRoadResult result = runExternalProcessorRoad(road);
    printExternalProcessorRoadResult(road, result, stdout);
    return externalProcessorRoadPassed(result) ? 0 : 1;
}

int mainJobCommand(int argc, char** argv) {
    MainJobOptions options;
    options.log = stdout;
    for (int i = 2; i < argc; i += 2) {
        const std::string arg = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--plugin") options.pluginPath = value;
        else if (arg == "--runtime") options.runtimePath = value;
        else if (arg == "--cameras") options.cameras = std::atoi(value.c_str());
        else if (arg == "--frames") options.frames = std::atoi(value.c_str());
        else if (arg == "--resizing") options.resizing = value;
        else if (arg == "--ini") options.iniPath = value;
        else if (arg == "--pipeline") options.pipeline = value;
        else if (arg == "--scenario") options.scenario = value;
        else if (arg == "--external-processor") options.externalProcessor = value;
        else if (arg == "--processor-transport") options.processorTransport = value;
        else if (arg == "--peer") options.peerPath = value;
        else if (arg == "--child-postprocessor") options.childPostprocessor = value;
        else if (arg == "--runtime-arg" && value.find('=') != std::string::npos)
            options.runtimeArgs[value.substr(0, value.find('='))] = value.substr(value.find('=') + 1);
        else {
            std::fprintf(stderr, "unknown or incomplete option: %s\n", arg.c_str());
            return 2;
        }
    }
    if (options.pluginPath.empty() || options.runtimePath.empty() || options.cameras < 1 || options.frames < 1 ||
        (options.pipeline != "one-stage" && options.pipeline != "two-stage")) {
        std::fprintf(stderr,
                     "usage: %s --main-job --plugin <libqzai_plugin.so> --runtime <test runtime library> "
                     "[--cameras N] [--frames N] [--resizing Fit|Stretch|Crop] [--scenario rules]\n"
                     "[--pipeline one-stage|two-stage [--child-postprocessor echo]] [--runtime-arg key=value]...\n"
                     "[--external-processor none|flip|drop] [--processor-transport shm|tcp] [--peer <qz_peer>]\n",
                     argv[0]);
        return 2;
    }
    std::printf("main job: %d camera(s), %d frame(s) each, %dx%d, resizing %s\n", options.cameras, options.frames,
                options.width, options.height, options.resizing.c_str());
    if (options.externalProcessor != "none") return externalProcessorJob(options);
    if (options.pipeline == "two-stage") {
        const TwoStageResult twoStage = runTwoStageJob(options);
        printTwoStageResult(twoStage, stdout);
        return twoStage.passed() ? 0 : 1;
    }
    const MainJobResult result = runMainJob(options);
    printMainJobResult(result, stdout);
    const bool decodersOk = runDecoderRoads(options, stdout);
    const RecoveryRoadResult recovery = runRuntimeRecoveryRoad(options, 6);
    printRecoveryRoadResult(recovery, stdout);
    std::string why;
    const bool passed = result.passed(&why);
    if (passed && !decodersOk) why = "a built-in decoder road";
    if (passed && decodersOk && !recovery.ok) why = "the runtime recovery road";
    const bool allPassed = passed && decodersOk && recovery.ok;
    std::printf("\nverdict: %s\n", allPassed ? "passed" : ("FAILED: " + why).c_str());
    return allPassed ? 0 : 1;
}

}  // namespace qz::test_host
