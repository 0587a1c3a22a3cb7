#include "inference/postprocessing/track_matching.h"

#include <algorithm>
#include <limits>

#include "inference/postprocessing/time_difference.h"
#include "inference/tensor_helpers.h"
#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {
namespace {

struct Candidate {
    double score;
    uint32_t track;
    uint32_t detection;
};

struct TrackView {
    int64_t firstSeenUs;
    int64_t lastSeenUs;
    BoxXywh box;
};

}  // namespace

QzAIObjectList matchTracks(QzAIObjectList& tracks, const std::vector<FrameDetection_t>& detections,
                           int64_t nowUs, const std::string& typeId, const TrackMatchingLimits& limits) {
    // Read each object once; only the tracker (under the device mutex) and
    // the objects exchange (same mutex) change box and lastSeenUs, so the
    // view stays current until we write below.
    std::vector<TrackView> views;
    views.reserve(tracks.size());
    for (const auto& track : tracks) {
        std::lock_guard<std::mutex> lock(track->mutex);
        views.push_back({track->data.firstSeenUs, track->data.lastSeenUs, track->data.box});
    }

    // The class's own time: the frame's, or the last sighting of a track
    // seen in more than one frame when that is newer (this frame is late).
    int64_t classNowUs = nowUs;
    for (const TrackView& view : views) {
        if (view.lastSeenUs != view.firstSeenUs) classNowUs = std::max(classNowUs, view.lastSeenUs);
    }

    std::vector<Candidate> candidates;
    // Tracks last seen further ahead of this frame than the match gap are not
    // matched: a late frame must not move them back out of reach of the
    // frames after it. Those also further ahead of the class's own time are
    // lone sightings that a frame stamped far in the future started; matching
    // them would let them take every later sighting while never being
    // reported, so they go.
    std::vector<char> expired(tracks.size(), 0);
    bool anyExpired = false;
    for (size_t t = 0; t < tracks.size(); ++t) {
        const int64_t age = saturatingTimeDifference(nowUs, views[t].lastSeenUs);
        if (age > limits.maxMatchAgeUs) continue;
        if (age < -limits.maxMatchAgeUs) {
            if (saturatingTimeDifference(views[t].lastSeenUs, classNowUs) > limits.maxMatchAgeUs) {
                expired[t] = 1;
                anyExpired = true;
            }
            continue;
        }
        // Ages under 1 ms (also negative ones from late frames) count as 1 ms.
        const double ageFactor = static_cast<double>(std::max<int64_t>(age, 1000)) / 1000.0;
        for (size_t d = 0; d < detections.size(); ++d) {
            const float iou = computeIoU(detections[d].box, views[t].box);
            if (!(iou > 1e-6f)) continue;  // also drops a NaN overlap
            candidates.push_back({iou / ageFactor, static_cast<uint32_t>(t), static_cast<uint32_t>(d)});
        }
    }
    // Highest pair score first; equal scores keep track-then-detection order.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.score != b.score) return a.score > b.score;
        if (a.track != b.track) return a.track < b.track;
        return a.detection < b.detection;
    });

    QzAIObjectList reported;
    std::vector<char> trackUsed(tracks.size(), 0);
    std::vector<char> detectionUsed(detections.size(), 0);
    for (const Candidate& c : candidates) {
        if (trackUsed[c.track] || detectionUsed[c.detection]) continue;
        trackUsed[c.track] = 1;
        detectionUsed[c.detection] = 1;
        const FrameDetection_t& detection = detections[c.detection];
        QzAIObject_t& object = *tracks[c.track];
        int64_t previousLastSeenUs = 0;
        int64_t firstSeenUs = 0;
        {
            std::lock_guard<std::mutex> lock(object.mutex);
            previousLastSeenUs = object.data.lastSeenUs;
            firstSeenUs = object.data.firstSeenUs;
            object.data.confidence = detection.score;
            object.data.box = detection.box;
            object.data.lastSeenUs = nowUs;
        }
        if (saturatingTimeDifference(previousLastSeenUs, firstSeenUs) > limits.minTrackAgeUs &&
            saturatingTimeDifference(nowUs, previousLastSeenUs) < limits.maxReportGapUs)
            reported.push_back(tracks[c.track]);
    }

    if (anyExpired) {
        size_t kept = 0;
        for (size_t t = 0; t < tracks.size(); ++t) {
            if (!expired[t]) tracks[kept++] = std::move(tracks[t]);
        }
        tracks.resize(kept);
    }

    cutTrackList(tracks, limits);

    for (size_t d = 0; d < detections.size(); ++d) {
        if (detectionUsed[d]) continue;
        QzAIObjectData_t data;
        data.firstSeenUs = nowUs;
        data.lastSeenUs = nowUs;
        data.trackId = qz::sdk::randomUuid();
        data.typeId = typeId;
        data.box = detections[d].box;
        tracks.push_back(std::make_shared<QzAIObject_t>(std::move(data)));
    }
    return reported;
}

bool noTrackWithin(const QzAIObjectList& tracks, int64_t nowUs, int64_t gapUs) {
    // From the newest end: new tracks are appended, so a live list usually
    // answers at its first object.
    return std::none_of(tracks.rbegin(), tracks.rend(), [&](const QzAIObjectPtr& track) {
        std::lock_guard<std::mutex> lock(track->mutex);
        return saturatingTimeDifference(nowUs, track->data.lastSeenUs) <= gapUs;
    });
}

void cutTrackList(QzAIObjectList& tracks, const TrackMatchingLimits& limits) {
    if (tracks.size() <= limits.maxTracks) return;
    std::vector<std::pair<int64_t, QzAIObjectPtr>> byRecency;
    byRecency.reserve(tracks.size());
    for (auto& track : tracks) {
        std::lock_guard<std::mutex> lock(track->mutex);
        byRecency.emplace_back(track->data.lastSeenUs, track);
    }
    std::stable_sort(byRecency.begin(), byRecency.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    byRecency.resize(std::min(byRecency.size(), limits.keptTracks));
    tracks.clear();
    for (auto& entry : byRecency) tracks.push_back(std::move(entry.second));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
