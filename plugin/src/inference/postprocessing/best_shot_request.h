// BestShotRequest: one best shot that an external objects post-processor asks
// for; the packet assembly turns it into a best-shot packet of the frame.
#pragma once

#include <cstdint>

#include "inference/tensor_helpers.h"
#include "qz/sdk/helpers/uuid.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct BestShotRequest {
    qz::sdk::Uuid trackId;
    BoxXywh box;         // meaningful only when hasBox is 1
    uint32_t hasBox = 0;  // 1 when the post-processor gave a box
};

}  // namespace qz::vms_server_plugins::analytics::qzai
