// Track matching: one class of one device, one frame. Assigns the frame's
// detections of the class to the class's tracked objects by overlap and age,
// updates the matched objects, drops lone sightings stamped too far ahead,
// cuts an overgrown list and starts new tracks.
//
// The caller holds the device mutex; the objects' own locks are taken inside
// for each read and write of their fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inference/tensor_helpers.h"
#include "inference/postprocessing/qzai_object.h"

namespace qz::vms_server_plugins::analytics::qzai {

// One detection of a frame, mapped to the frame.
struct FrameDetection_t {
    BoxXywh box;  // fractions of the frame
    float score = 0.0f;
};

struct TrackMatchingLimits {
    int64_t minTrackAgeUs = 100000;   // reported: previous sighting - first sighting > this
    int64_t maxReportGapUs = 500000;  // reported: now - previous sighting < this
    // Objects seen longer ago than this, or further ahead of the frame, are
    // not matched. An object seen in one frame only that lies this far ahead
    // of both the frame and every object of the class seen in more frames is
    // dropped: a frame stamped far ahead started it.
    int64_t maxMatchAgeUs = 1000000;
    size_t maxTracks = 100;           // a longer class list is cut ...
    size_t keptTracks = 70;           // ... to this many most recently seen objects
};

// Matches `detections` against `tracks` at frame time `nowUs`, in place, and
// returns the matched objects that are stable enough to report, in the order
// of their matches. New tracks get `typeId`.
QzAIObjectList matchTracks(QzAIObjectList& tracks, const std::vector<FrameDetection_t>& detections,
                           int64_t nowUs, const std::string& typeId, const TrackMatchingLimits& limits);

// True when every object of `tracks` was last seen more than `gapUs` before
// `nowUs`, so no frame of that time or later can match one; an empty list
// too. Objects seen after `nowUs` (the frame is late) count as recent.
// The caller holds the device mutex.
bool noTrackWithin(const QzAIObjectList& tracks, int64_t nowUs, int64_t gapUs);

// Cuts a list longer than limits.maxTracks to the limits.keptTracks most
// recently seen objects (ties keep their order). The caller holds the device
// mutex.
void cutTrackList(QzAIObjectList& tracks, const TrackMatchingLimits& limits);

}  // namespace qz::vms_server_plugins::analytics::qzai
