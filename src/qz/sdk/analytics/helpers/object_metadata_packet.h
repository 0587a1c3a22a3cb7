// qz::sdk::analytics::ObjectMetadataPacket: the objects found in one frame.
#pragma once

#include "qz/sdk/analytics/helpers/metadata_packet.h"

namespace qz::sdk::analytics {

class ObjectMetadataPacket final : public MetadataPacket<IObjectMetadataPacket, IObjectMetadata> {};

}  // namespace qz::sdk::analytics
