#include "inference/postprocessing/line_crossing.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>

#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/time_difference.h"
#include "records/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr int64_t kForgetAfterUs = 1000000;

bool oppositeSides(float a, float b) { return (a < 0.0f && b > 0.0f) || (a > 0.0f && b < 0.0f); }

struct Line {
    float x1, y1, x2, y2, dx, dy;

    explicit Line(const pipeline_stage_parameters_t& stage)
        : x1(stage.lineX1), y1(stage.lineY1), x2(stage.lineX2), y2(stage.lineY2), dx(x2 - x1), dy(y2 - y1) {}

    float segmentProduct(float cx, float cy) const {
        return ((cx - x2) * dx + (cy - y2) * dy) * ((cx - x1) * dx + (cy - y1) * dy);
    }
    float side(float cx, float cy) const { return dx * (cy - y1) - dy * (cx - x1); }
};

}  // namespace

EventPtr detectLineCrossing(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                            const ObjectsByClass& objects) {
    if (!request || !request->stage || !request->details || !request->stage->lineCrossingEnabled) return {};
    const Line line(*request->stage);
    const std::string& deviceId = request->details->deviceId;
    const int64_t now = request->timestampUs;

    std::lock_guard<std::mutex> lock(state.lineCrossingLock);
    const auto [leftEntry, firstPass] = state.leftCrossings.try_emplace(deviceId, 0);
    uint64_t& left = leftEntry->second;
    uint64_t& right = state.rightCrossings[deviceId];
    std::vector<LineCrossingTrack>& tracks = state.lineTracks[deviceId];
    if (firstPass) {
        right = 0;
        tracks.clear();
    }

    // Positions of the device's records by track id, for this pass.
    std::unordered_map<qz::sdk::Uuid, size_t> index;
    index.reserve(tracks.size() + 16);
    for (size_t i = 0; i < tracks.size(); ++i) index.emplace(tracks[i].trackId, i);

    for (const auto& [className, list] : objects) {
        for (const QzAIObjectPtr& object : list) {
            if (!object) continue;
            const QzAIObjectData_t seen = object->snapshot();
            const float cx = seen.box.x + 0.5f * seen.box.width;
            const float cy = seen.box.y + 0.5f * seen.box.height;
            const float segmentProduct = line.segmentProduct(cx, cy);
            const float side = line.side(cx, cy);

            const auto [position, added] = index.try_emplace(seen.trackId, tracks.size());
            if (added) {
                tracks.push_back({seen.trackId, cx, cy, segmentProduct, side, now});
                continue;
            }
            LineCrossingTrack* record = &tracks[position->second];
            if (now < record->lastSeenUs) continue;  // an older frame finished late
            record->cx = cx, record->cy = cy, record->lastSeenUs = now;
            // On the segment itself the remembered side stands; on the line's
            // extension or at an end point the sighting is kept, so a path
            // around an end never pairs two sides.
            if (side == 0.0f && segmentProduct < 0.0f) continue;
            if (record->segmentProduct < 0.0f && segmentProduct < 0.0f && oppositeSides(record->side, side)) {
                if (side > 0.0f) ++left;
                else ++right;
            }
            record->segmentProduct = segmentProduct;
            record->side = side;
        }
    }
    tracks.erase(std::remove_if(tracks.begin(), tracks.end(),
                                [now](const LineCrossingTrack& t) {
                                    return saturatingTimeDifference(now, t.lastSeenUs) > kForgetAfterUs;
                                }),
                 tracks.end());

    if (left == 0 && right == 0) return {};
    EventPtr event = qz::sdk::analytics::createEventMetadata();
    event->setTypeId(event_types::kLineCrossing);
    event->setIsActive(true);
    event->setCaption("Line crossing detected");
    event->setDescription("Left: " + std::to_string(left) + "\nRight: " + std::to_string(right));
    return event;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
