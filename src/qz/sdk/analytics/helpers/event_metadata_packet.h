// qz::sdk::analytics::EventMetadataPacket: the events raised by one frame.
#pragma once

#include "qz/sdk/analytics/helpers/metadata_packet.h"

namespace qz::sdk::analytics {

class EventMetadataPacket final : public MetadataPacket<IEventMetadataPacket, IEventMetadata> {};

}  // namespace qz::sdk::analytics
