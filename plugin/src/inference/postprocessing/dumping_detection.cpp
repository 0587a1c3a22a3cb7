#include "inference/postprocessing/dumping_detection.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <system_error>

#include "common/log.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/time_difference.h"
#include "platform/atomic_file.h"
#include "qz/sdk/analytics/helpers/event_metadata.h"
#include "records/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {
namespace {

constexpr const char* kCacheFileName = "dumping_known_bboxes.json";
constexpr const char* kStationaryTime = "Stationary time";
constexpr const char* kDumpedObject = "Dumped Object";
constexpr int64_t kMinCandidateRetentionUs = 60LL * 1000000LL;

int64_t saturatingDouble(int64_t value) {
    int64_t result;
    return __builtin_mul_overflow(value, 2, &result) ? std::numeric_limits<int64_t>::max() : result;
}

bool hasKnownBox(const std::vector<BoxXywh>& known, const BoxXywh& box, float iouThreshold) {
    return std::any_of(known.begin(), known.end(),
                       [&](const BoxXywh& k) { return computeIoU(k, box) > iouThreshold; });
}

bool sameBox(const BoxXywh& a, const BoxXywh& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

std::filesystem::path cacheFolder(const PostprocessingState& state) {
    return std::filesystem::path(state.rootFolder) / "cache";
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

// The device's known boxes during a reference run: each watched object's box
// unless one already there (also one added by this run) overlaps it.
bool learnKnownBoxes(PostprocessingState& state, const std::string& deviceId, const QzAIObjectList& watched,
                     float iouThreshold) {
    bool added = false;
    std::lock_guard<std::mutex> lock(state.dumpingLock);
    std::vector<BoxXywh>& known = state.knownBoxes[deviceId];
    for (const QzAIObjectPtr& object : watched) {
        if (!object) continue;
        const BoxXywh box = object->snapshot().box;
        if (hasKnownBox(known, box, iouThreshold)) continue;
        known.push_back(box);
        added = true;
    }
    if (added) ++state.knownBoxesGeneration;
    return added;
}

// One watched object on an ordinary frame; true when its alert falls due.
bool watchObject(PostprocessingState& state, const pipeline_stage_parameters_t& stage,
                 const std::vector<BoxXywh>& known, DumpingCandidates& candidates, QzAIObject_t& object,
                 int64_t nowUs) {
    const QzAIObjectData_t seen = object.snapshot();
    if (hasKnownBox(known, seen.box, stage.dumpingKnownBoxIouThreshold)) return false;

    const float cx = seen.box.x + 0.5f * seen.box.width;
    const float cy = seen.box.y + 0.5f * seen.box.height;
    bool created = false;
    DumpingCandidate& candidate = candidates.see(seen.trackId, &created);
    candidate.lastSeenUs = created ? nowUs : std::max(candidate.lastSeenUs, nowUs);
    if (created) {
        candidate.stationarySinceUs = candidate.firstSeenUs = nowUs;
        candidate.cx = cx;
        candidate.cy = cy;
        return false;
    }

    const float dx = cx - candidate.cx;
    const float dy = cy - candidate.cy;
    const float movement = stage.dumpingMovementThreshold;
    const bool moved = dx * dx + dy * dy > movement * movement;
    if (moved) {
        candidate.cx = cx;
        candidate.cy = cy;
        candidate.stationarySinceUs = nowUs;
    }
    const int64_t elapsedUs = std::max<int64_t>(0, saturatingTimeDifference(nowUs, candidate.stationarySinceUs));
    const bool overThreshold = !moved && elapsedUs >= stage.dumpingTimeThresholdUs;

    {
        // Attributes are shared with snapshots taken by other workers, so
        // they are replaced, never changed in place.
        std::lock_guard<std::mutex> lock(object.mutex);
        auto& attributes = object.data.attributes;
        attributes.erase(std::remove_if(attributes.begin(), attributes.end(),
                                        [](const auto& a) { return a && std::string(a->name()) == kStationaryTime; }),
                         attributes.end());
        if (!moved) {
            attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>(
                kStationaryTime, std::to_string(elapsedUs / 1000000) + " s", 1.0f));
        }
        if (overThreshold && std::none_of(attributes.begin(), attributes.end(), [](const auto& a) {
                return a && std::string(a->name()) == kDumpedObject;
            })) {
            attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>(kDumpedObject, "True", 1.0f));
        }
    }

    if (!overThreshold || saturatingTimeDifference(nowUs, candidate.lastAlertUs) <= state.dumpingAlertIntervalUs)
        return false;
    candidate.lastAlertUs = nowUs;
    return true;
}

EventPtr makeDumpingEvent(int64_t thresholdUs) {
    EventPtr event = qz::sdk::analytics::createEventMetadata();
    event->setTypeId(event_types::kDumping);
    event->setIsActive(true);
    event->setCaption("Dumping Detected!");
    event->setDescription("An object has not moved for longer than " + std::to_string(thresholdUs / 1000000) +
                          " seconds.");
    return event;
}

}  // namespace

EventPtr detectDumping(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                       const ObjectsByClass& objects) {
    const pipeline_stage_parameters_t* stage = request ? request->stage : nullptr;
    if (objects.empty() || !stage || !stage->dumpingEnabled || !request->details) return {};
    const std::string& deviceId = request->details->deviceId;
    const int64_t nowUs = request->timestampUs;
    const auto watched = objects.find(stage->dumpingObjectClass);

    bool learned = false;
    bool alerting = false;
    {
        std::lock_guard<std::mutex> runLock(state.referenceRunLock);
        auto run = state.referenceRuns.find(deviceId);
        if (run != state.referenceRuns.end() && !run->second.empty() && run->second == stage->key) {
            if (watched != objects.end())
                learned = learnKnownBoxes(state, deviceId, watched->second, stage->dumpingKnownBoxIouThreshold);
            run->second.clear();
        } else if (watched != objects.end()) {
            std::lock_guard<std::mutex> lock(state.dumpingLock);
            static const std::vector<BoxXywh> kNone;
            const auto knownOfDevice = state.knownBoxes.find(deviceId);
            const std::vector<BoxXywh>& known = knownOfDevice == state.knownBoxes.end() ? kNone : knownOfDevice->second;
            DumpingCandidates& candidates =
                state.dumpingCandidates.try_emplace(deviceId, state.maxDumpingCandidatesPerDevice).first->second;
            candidates.dropStale(nowUs,
                                 std::max(saturatingDouble(stage->dumpingTimeThresholdUs), kMinCandidateRetentionUs));
            const uint64_t evictedBefore = candidates.evicted();
            for (const QzAIObjectPtr& object : watched->second) {
                if (object && watchObject(state, *stage, known, candidates, *object, nowUs)) alerting = true;
            }
            if (evictedBefore == 0 && candidates.evicted() > 0) {
                logMessage("Warning! Device %s watches more than %zu objects for dumping; the least recently seen "
                           "are forgotten.\n",
                           deviceId.c_str(), state.maxDumpingCandidatesPerDevice);
            }
        }
    }

    // Saved at once, so boxes learned since the start survive a host crash.
    if (learned) saveDumpingCache(state);
    return alerting ? makeDumpingEvent(stage->dumpingTimeThresholdUs) : EventPtr{};
}

void loadDumpingCache(PostprocessingState& state) {
    // Without a data folder there is no file of this state's: the current
    // folder is nobody's cache.
    if (state.rootFolder.empty()) {
        logMessage("Warning: No data folder; dumping known bboxes cache not loaded\n");
        return;
    }
    const std::filesystem::path path = cacheFolder(state) / kCacheFileName;
    const std::string pathText = path.string();
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    if (!exists && !error) return;

    std::optional<KnownBoxes> loaded;
    const char* warning = nullptr;
    try {
        const uintmax_t size = std::filesystem::file_size(path, error);
        std::optional<std::string> text;
        if (!error) text = readWholeFile(path);
        if (!text) {
            logMessage("Warning: Failed to open dumping known bboxes cache: %s\n", pathText.c_str());
            return;
        }
        if (size > kMaxDumpingCacheFileBytes) warning = kDumpingCacheParseWarning;
        else loaded = parseDumpingCache(*text, &warning);
    } catch (const std::bad_alloc&) {
        warning = kDumpingCacheParseWarning;
    }
    if (!loaded) {
        logMessage(warning, pathText.c_str());
        return;
    }

    {
        std::lock_guard<std::mutex> lock(state.dumpingLock);
        for (auto& [deviceId, boxes] : *loaded) {
            std::vector<BoxXywh>& known = state.knownBoxes[deviceId];
            for (const BoxXywh& box : boxes) {
                if (std::none_of(known.begin(), known.end(), [&](const BoxXywh& k) { return sameBox(k, box); }))
                    known.push_back(box);
            }
        }
        ++state.knownBoxesGeneration;
    }
    logInfo("Loaded dumping known bboxes cache from %s\n", pathText.c_str());
}

void saveDumpingCache(PostprocessingState& state) {
    std::lock_guard<std::mutex> fileLock(state.dumpingFileLock);
    KnownBoxes snapshot;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(state.dumpingLock);
        if (state.knownBoxes.empty()) return;
        generation = state.knownBoxesGeneration;
        if (state.savedBoxesGeneration && *state.savedBoxesGeneration >= generation) return;
        snapshot = state.knownBoxes;
    }
    if (state.rootFolder.empty()) {
        logMessage("Warning: No data folder; dumping known bboxes cache not saved\n");
        return;
    }

    const std::filesystem::path folder = cacheFolder(state);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        logMessage("Warning: Failed to create cache directory %s: %s\n", folder.string().c_str(),
                   error.message().c_str());
        return;
    }
    std::string text;
    try {
        text = serializeDumpingCache(snapshot);
    } catch (const std::exception&) {
        logMessage("Warning: Failed to serialize dumping known bboxes cache\n");
        return;
    }

    const std::string path = (folder / kCacheFileName).string();
    const AtomicWriteResult written = replaceFileAtomically(path, text);
    if (written.failedStep == AtomicWriteResult::Step::Open) {
        logMessage("Warning: Failed to open dumping known bboxes cache for writing: %s\n", path.c_str());
        return;
    }
    if (!written.ok()) {
        logMessage("Warning: Failed to write dumping known bboxes cache %s: %s\n", path.c_str(),
                   written.error.c_str());
        return;
    }
    state.savedBoxesGeneration = generation;
    logInfo("Saved dumping known bboxes cache to %s\n", path.c_str());
}

}  // namespace qz::vms_server_plugins::analytics::qzai
