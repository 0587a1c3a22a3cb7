// PostprocessingState: the engine-wide state of the post-processing rules,
// one per inference manager, shared by every output worker.
//
// Locks and what they guard (lock order in brackets):
// - trackedObjectsLock: the trackedObjects map itself (not the device
//   records). Taken shared to look a device up and exclusively only to add
//   one; always released before a device's mutex is taken.
// - DeviceTracks_t::mutex (the device mutex): that device's class lists.
//   Object locks (QzAIObject_t::mutex) may be taken under it, nothing else.
// - lineCrossingLock: lineTracks, leftCrossings, rightCrossings; held alone.
// - countingLock: countHistory; held alone.
// - referenceRunLock, then dumpingLock: referenceRuns; dumpingCandidates,
//   knownBoxes and knownBoxesGeneration. requestReferenceRun takes
//   referenceRunLock only.
// - dumpingFileLock: serialises writes of the known boxes file and guards
//   savedBoxesGeneration; taken before dumpingLock, never while holding it.
// - lastThroughputLogNs is an atomic of its own.
//
// Device records are never erased while the engine runs and are held through
// shared_ptr, so a record found under the shared lock stays valid after the
// lock is released.
//
// Lifetime: the owner keeps the state alive until every output worker that
// may use it has finished. The destructor saves the known boxes first.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "records/external_processor_maps.h"
#include "inference/postprocessing/class_counts.h"
#include "inference/postprocessing/dumping_candidates.h"
#include "inference/postprocessing/external_exchanges.h"
#include "inference/tensor_helpers.h"
#include "inference/postprocessing/line_crossing_track.h"
#include "inference/postprocessing/qzai_object.h"
#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {

// The tracker's objects of one device, with the device mutex guarding them.
struct DeviceTracks_t {
    std::mutex mutex;
    ObjectsByClass classes;  // guarded by mutex
};

struct PostprocessingState {
    explicit PostprocessingState(std::string rootFolder);
    ~PostprocessingState();
    PostprocessingState(const PostprocessingState&) = delete;
    PostprocessingState& operator=(const PostprocessingState&) = delete;

    // Marks a pending reference run of the stage `stageKey` on the device,
    // replacing an earlier request of that device.
    void requestReferenceRun(const std::string& deviceId, const std::string& stageKey);

    // The device's tracker record, or null when the device has none yet.
    std::shared_ptr<DeviceTracks_t> findDeviceTracks(const std::string& deviceId) const;
    // The device's tracker record, created on first use; *created tells
    // whether this call made it.
    std::shared_ptr<DeviceTracks_t> deviceTracks(const std::string& deviceId, bool* created = nullptr);

    // A matched object is reported only when its previous sighting lies more
    // than minTrackAgeUs after its first and less than maxReportGapUs before
    // the current frame.
    const int64_t minTrackAgeUs = 100000;
    const int64_t maxReportGapUs = 500000;
    // The tracker's match gap: a track seen further from a frame than this
    // is not matched. A class with nothing seen within it before a frame is
    // forgotten by the tracker and by the counting rule (a late frame, older
    // than what was seen, forgets nothing).
    const int64_t maxMatchAgeUs = 1000000;

    std::map<std::string, std::shared_ptr<DeviceTracks_t>> trackedObjects;  // by device id
    mutable std::shared_mutex trackedObjectsLock;

    std::mutex lineCrossingLock;
    std::map<std::string, std::vector<LineCrossingTrack>> lineTracks;
    std::map<std::string, uint64_t> leftCrossings;
    std::map<std::string, uint64_t> rightCrossings;

    std::mutex countingLock;
    std::map<std::string, std::map<std::string, ClassCounts>> countHistory;  // by device, then class

    std::mutex dumpingLock;
    std::map<std::string, DumpingCandidates> dumpingCandidates;
    const size_t maxDumpingCandidatesPerDevice = DumpingCandidates::kDefaultCap;
    std::map<std::string, std::vector<BoxXywh>> knownBoxes;
    uint64_t knownBoxesGeneration = 0;  // bumped on every change of knownBoxes
    const int64_t dumpingAlertIntervalUs = 5000000;

    std::mutex dumpingFileLock;
    std::optional<uint64_t> savedBoxesGeneration;  // the generation last written to the file

    std::mutex referenceRunLock;
    std::map<std::string, std::string> referenceRuns;  // device id -> stage key

    ExternalPostprocessorMap externalPostprocessors;  // by name
    std::string rootFolder;
    std::atomic<int64_t> lastThroughputLogNs{0};  // steady clock

    ExternalExchanges externalExchanges;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
