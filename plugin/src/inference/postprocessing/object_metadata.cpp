#include "inference/postprocessing/object_metadata.h"

namespace qz::vms_server_plugins::analytics::qzai {

qz::sdk::Ptr<qz::sdk::analytics::ObjectMetadata> createObjectMetadata(const QzAIObject_t& object) {
    const QzAIObjectData_t data = object.snapshot();
    auto metadata = qz::sdk::makePtr<qz::sdk::analytics::ObjectMetadata>();
    metadata->setTypeId(data.typeId);
    metadata->setTrackId(data.trackId);
    metadata->setBoundingBox({data.box.x, data.box.y, data.box.width, data.box.height});
    metadata->setConfidence(data.confidence);
    metadata->addAttributes(data.attributes);
    return metadata;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
