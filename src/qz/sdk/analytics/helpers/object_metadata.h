// qz::sdk::analytics::ObjectMetadata: one object of an object metadata
// packet: type id, track id, box (x, y, width, height), confidence and
// attributes.
#pragma once

#include "qz/sdk/analytics/helpers/metadata.h"

namespace qz::sdk::analytics {

class ObjectMetadata final : public Metadata<IObjectMetadata> {
public:
    void setTrackId(const Uuid& trackId) { m_trackId = trackId; }
    Uuid trackId() const override { return m_trackId; }

private:
    Uuid m_trackId;
};

}  // namespace qz::sdk::analytics
