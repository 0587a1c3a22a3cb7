// createObjectMetadata: the host's description of one tracked object for an
// object metadata packet, made from a snapshot of the object (so it is safe
// while other workers change the object).
#pragma once

#include "inference/postprocessing/qzai_object.h"
#include "qz/sdk/analytics/helpers/object_metadata.h"
#include "qz/sdk/ptr.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Type id, track id, box, confidence and attributes of the object.
qz::sdk::Ptr<qz::sdk::analytics::ObjectMetadata> createObjectMetadata(const QzAIObject_t& object);

}  // namespace qz::vms_server_plugins::analytics::qzai
