// qz::sdk::analytics::ObjectTrackBestShotPacket: the frame (timestamp, µs)
// and box that best show one object track. Built by one thread, then read-only.
#pragma once

#include <cstdint>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk::analytics {

class ObjectTrackBestShotPacket final : public RefCountable<IObjectTrackBestShotPacket> {
public:
    ObjectTrackBestShotPacket(const Uuid& trackId, int64_t timestampUs, const Rect& box = Rect())
        : m_trackId(trackId), m_timestampUs(timestampUs), m_box(box) {}

    void setBoundingBox(const Rect& box) { m_box = box; }

    Uuid trackId() const override { return m_trackId; }
    Rect boundingBox() const override { return m_box; }
    int64_t timestampUs() const override { return m_timestampUs; }
    int64_t durationUs() const override { return 0; }

private:
    Uuid m_trackId;
    int64_t m_timestampUs;
    Rect m_box;
};

}  // namespace qz::sdk::analytics
