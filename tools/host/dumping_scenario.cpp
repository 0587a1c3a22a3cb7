#include "host/dumping_scenario.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/main_job.h"
#include "host/main_job_events.h"
#include "host/patience.h"
#include "host/machine_report.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"

namespace qz::test_host {

namespace {

namespace keys = qz::vms_server_plugins::analytics::qzai::setting_keys;

constexpr int kSide = 160;
constexpr int64_t kDumpingFramePeriodUs = 40'000;
constexpr int64_t kThresholdUs = 1'000'000;
constexpr int64_t kAlertIntervalUs = 5'000'000;
constexpr int kPhaseTwoFrames = 50;
constexpr const char* kDumping = "qz.qzai.dumping";
constexpr auto kDumpingRoundTimeout = std::chrono::milliseconds(1000);

enum class Role { still, learned, moving };
Role roleOf(size_t camera) { return static_cast<Role>(camera % 3); }

Square squareAt(const MainJobOptions& options, size_t camera, int frame) {
    // Three lanes top to bottom; the still squares stand at a quarter and at
    // three quarters of the width.
    const int lane = 16 + static_cast<int>(camera % 3) * (options.height - kSide - 32) / 2;
    if (roleOf(camera) != Role::moving)
        return {(camera % 3 == 0 ? options.width / 4 : 3 * options.width / 4) - kSide / 2, lane, kSide, 235};
    const int span = options.width - kSide - 32;
    const int travel = (frame * 24) % (2 * span);
    return {16 + (travel < span ? travel : 2 * span - travel), lane, kSide, 235};
}

std::string attribute(const RecordedMetadata& object, const std::string& name) {
    for (const auto& [key, value] : object.attributes)
        if (key == name) return value;
    return "";
}
bool hasAttribute(const RecordedMetadata& object, const std::string& name) {
    return std::any_of(object.attributes.begin(), object.attributes.end(),
                       [&](const auto& a) { return a.first == name; });
}

double iouWithSquare(const sdk::analytics::Rect& a, const Square& s, int width, int height) {
    return iou(a, double(s.x) / width, double(s.y) / height, double(s.size) / width, double(s.size) / height);
}

// What the rule must have done for one camera in one phase, worked out from
// the frames in which the object came back.
struct CameraScript {
    std::set<int64_t> alerts;
    std::vector<std::string> attributeErrors;
    size_t objectPackets = 0;
};

CameraScript checkCamera(Role role, const std::vector<RecordedPacket>& packets) {
    CameraScript script;
    std::vector<const RecordedPacket*> sightings;
    for (const RecordedPacket& packet : packets)
        if (packet.kind == RecordedPacket::Kind::objects && !packet.items.empty()) sightings.push_back(&packet);
    std::sort(sightings.begin(), sightings.end(),
              [](const RecordedPacket* a, const RecordedPacket* b) { return a->timestampUs < b->timestampUs; });
    script.objectPackets = sightings.size();
    if (sightings.empty()) return script;

    const int64_t createdUs = sightings.front()->timestampUs;
    int64_t lastAlertUs = 0;
    bool dumped = false;
    for (const RecordedPacket* packet : sightings) {
        const int64_t t = packet->timestampUs;
        const int64_t elapsed = t - createdUs;
        std::string wantTime, wantDumped;
        if (role != Role::learned && t > createdUs) {
            if (role == Role::still) {
                wantTime = std::to_string(elapsed / 1000000) + " s";
                if (elapsed >= kThresholdUs && t - lastAlertUs > kAlertIntervalUs) {
                    script.alerts.insert(t);
                    lastAlertUs = t;
                    dumped = true;
                }
            }
            wantDumped = dumped ? "True" : "";
        }
        for (const RecordedMetadata& object : packet->items) {
            const std::string gotTime = attribute(object, "Stationary time");
            const std::string gotDumped = attribute(object, "Dumped Object");
            // The moving square's time restarts as it goes; it is only
            // checked never to be dumped.
            const bool timeOk = role == Role::moving || gotTime == wantTime;
            if (!timeOk || gotDumped != wantDumped)
                script.attributeErrors.push_back("at +" + std::to_string(elapsed / 1000) + " ms: time '" + gotTime +
                                                 "' dumped '" + gotDumped + "' where '" + wantTime + "' '" +
                                                 wantDumped + "'");
            if (role == Role::learned && (hasAttribute(object, "Stationary time") || !gotDumped.empty()))
                script.attributeErrors.push_back("a learned object carries a dumping attribute");
        }
    }
    return script;
}

std::filesystem::path knownBoxesPath(const std::string& dataDirectory) {
    return std::filesystem::path(dataDirectory) / "cache" / "dumping_known_bboxes.json";
}

// Whether a line of the plug-in's log files holds `text`.
bool logHolds(const std::string& dataDirectory, const std::string& text) {
    for (const char* name : {"qzai_plugin_start.log", "qzai_plugin.log"}) {
        std::ifstream in(std::filesystem::path(dataDirectory) / name);
        for (std::string line; std::getline(in, line);)
            if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

// The boxes per device in the known boxes file, as "device: n" lines.
std::vector<std::string> knownBoxLines(const std::string& dataDirectory) {
    std::ifstream in(knownBoxesPath(dataDirectory));
    if (!in) return {"known boxes file: none"};
    std::vector<std::string> lines;
    try {
        const nlohmann::json root = nlohmann::json::parse(in);
        for (const auto& [device, boxes] : root.items())
            lines.push_back("known boxes file after phase 1: " + device + ": " + std::to_string(boxes.size()) +
                            " box(es)");
    } catch (const std::exception& e) {
        lines.push_back(std::string("known boxes file does not parse: ") + e.what());
    }
    return lines;
}

}  // namespace

void runDumpingScenario(const MainJobOptions& options, RoadRigOptions rigOptions, MainJobResult& result) {
    rigOptions.postprocessor = "Illegal Dumping";
    rigOptions.stageSettings.assign(static_cast<size_t>(options.cameras),
                                    {{keys::kDumpingDetectionObjectType, RoadRig::kClassName},
                                     {keys::kDumpingDetectionTimeThreshold, "1"}});
    RoadRig rig(rigOptions);
    const std::vector<std::string> ids = rig.cameraIds();
    const std::string stageKey = RoadRig::kModelId;
    for (size_t c = 0; c < ids.size(); ++c) {
        if (roleOf(c) == Role::learned)
            rig.host().pressActiveSetting(
                ids[c], qz::vms_server_plugins::analytics::qzai::stageItemName(keys::kTriggerReferenceRunButton, stageKey));
    }

    const int64_t clockStartUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    int frame = 0;
    std::map<int64_t, int> frameOfTimestamp;
    auto pushRound = [&] {
        const int64_t timestampUs = clockStartUs + frame * kDumpingFramePeriodUs;
        frameOfTimestamp[timestampUs] = frame;
        for (size_t c = 0; c < ids.size(); ++c) {
            FrameLayout layout;
            layout.width = options.width;
            layout.height = options.height;
            layout.timestampUs = timestampUs;
            layout.squares = {squareAt(options, c, frame)};
            rig.host().pushFrame(ids[c], layout);
        }
        ++frame;
        return timestampUs;
    };
    auto roundDone = [&](int64_t timestampUs) {
        return rig.host().recorder().waitUntil(
            [&](const std::vector<RecordedPacket>& packets) {
                std::set<std::string> done;
                for (const RecordedPacket& p : packets)
                    if (p.kind == RecordedPacket::Kind::objects && p.timestampUs == timestampUs) done.insert(p.deviceId);
                return done.size() == ids.size();
            },
            patient(kDumpingRoundTimeout));
    };

    double iouSum = 0.0;
    for (int phase = 1; phase <= 2; ++phase) {
        // Open the road: rounds until one whole round comes back.
        const auto deadline = std::chrono::steady_clock::now() + patient(std::chrono::seconds(30));
        while (!roundDone(pushRound())) {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("phase " + std::to_string(phase) + ": no whole round came back in time");
        }
        const int frames = phase == 1 ? options.frames : kPhaseTwoFrames;
        const int64_t firstMeasuredUs = clockStartUs + frame * kDumpingFramePeriodUs;
        for (int f = 0; f < frames; ++f) roundDone(pushRound());
        rig.host().recorder().waitUntil(objectsHaveTheirEvents, patient(kDumpingRoundTimeout));

        std::vector<CameraScript> scripts;
        for (size_t c = 0; c < ids.size(); ++c) {
            const std::vector<RecordedPacket> packets = rig.host().recorder().packets(ids[c]);
            // Without its known boxes file, the learned camera starts over.
            Role role = roleOf(c);
            if (role == Role::learned && phase == 2 && options.corruptKnownBoxes) role = Role::still;
            scripts.push_back(checkCamera(role, packets));
            if (phase != 1) continue;
            CameraResult camera;
            camera.deviceId = ids[c];
            camera.framesPushed = static_cast<size_t>(frames);
            std::set<std::string> tracks;
            double cameraIou = 0.0;
            for (const RecordedPacket& packet : packets) {
                if (packet.kind != RecordedPacket::Kind::objects || packet.timestampUs < firstMeasuredUs) continue;
                ++camera.objectPackets;
                const auto drawnAt = frameOfTimestamp.find(packet.timestampUs);
                if (drawnAt == frameOfTimestamp.end()) {
                    ++camera.unknownTimestamps;
                    continue;
                }
                for (const RecordedMetadata& object : packet.items) {
                    ++camera.objects;
                    if (object.typeId != result.expectedTypeId) ++camera.wrongTypeIds;
                    tracks.insert(std::to_string(object.trackId.high()) + ":" + std::to_string(object.trackId.low()));
                    cameraIou +=
                        iouWithSquare(object.box, squareAt(options, c, drawnAt->second), options.width, options.height);
                }
            }
            camera.trackIds = tracks.size();
            camera.meanIou = camera.objects ? cameraIou / double(camera.objects) : 0.0;
            iouSum += cameraIou;
            result.objects += camera.objects;
            result.cameras.push_back(std::move(camera));
        }

        RunEventFacts facts;
        facts.deviceIds = ids;
        facts.frameOfTimestamp = frameOfTimestamp;
        facts.className = RoadRig::kClassName;
        facts.moreExpectations = [&scripts](size_t c, std::vector<EventExpectation>& expected) {
            const std::set<int64_t> alerts = scripts[c].alerts;
            expected.push_back({kDumping, alerts.size(), alerts.size(),
                                [alerts](const RecordedPacket& packet, const RecordedMetadata& event) {
                                    if (!alerts.count(packet.timestampUs)) return std::string("on an unexpected frame");
                                    if (event.caption != "Dumping Detected!" || !event.isActive ||
                                        event.description != "An object has not moved for longer than 1 seconds.")
                                        return "'" + event.caption + "' '" + event.description + "'";
                                    return std::string();
                                }});
        };
        EventsTable table = awaitRunEvents(rig.host().recorder(), facts, patient(kDumpingRoundTimeout));
        for (size_t c = 0; c < ids.size(); ++c) {
            const CameraScript& script = scripts[c];
            table.rows.push_back({ids[c], "(dumping attributes)", script.objectPackets, script.objectPackets,
                                  script.objectPackets, script.attributeErrors.size(),
                                  script.attributeErrors.empty() ? "" : script.attributeErrors.front()});
        }
        for (EventsRow& row : table.rows) row.deviceId = "phase " + std::to_string(phase) + " " + row.deviceId;
        result.events.rows.insert(result.events.rows.end(), table.rows.begin(), table.rows.end());
        result.events.notes.insert(result.events.notes.end(), table.notes.begin(), table.notes.end());

        if (phase == 1) {
            for (const std::string& line : knownBoxLines(rig.dataDirectory())) result.events.notes.push_back(line);
            const UnloadReport report = rig.restart([&] {
                if (options.corruptKnownBoxes) std::ofstream(knownBoxesPath(rig.dataDirectory())) << "{\"cam";
            });
            result.objectsLeaked += report.objectsLeaked;
            if (options.corruptKnownBoxes) {
                const bool warned = logHolds(rig.dataDirectory(), "Warning: Failed to parse dumping known bboxes cache");
                result.events.notes.push_back(std::string("log after the restart: ") +
                                              (warned ? "the parse warning of the known boxes file"
                                                      : "NO parse warning of the known boxes file"));
                if (!warned) result.events.rows.push_back({"restart", "(known boxes warning)", 0, 1, 1, 0, ""});
            }
        }
    }
    result.meanIou = result.objects ? iouSum / double(result.objects) : 0.0;
    result.settingsPage = checkSettingsPage(rig.host(), ids.front(), RoadRig::cameraSettingsFor(rigOptions, 0),
                                            RoadRig::kModelId, rig.dataDirectory());
    result.objectsLeaked += rig.host().unload().objectsLeaked;
    result.machineReport = machineReportLines(rig.dataDirectory());
    result.ok = true;
}

}  // namespace qz::test_host
