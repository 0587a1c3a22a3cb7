#include "inference/postprocessing/region_masks.h"

namespace qz::vms_server_plugins::analytics::qzai {

QzAIObjectList filterObjectsByMask(const QzAIObjectList& objects, const std::vector<InputMask_t>& /*masks*/) {
    return objects;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
