// The decoders' working record: one detected box in model-input pixels.
#pragma once

#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

struct Detection {
    float x1 = 0.0f;  // left
    float y1 = 0.0f;  // top
    float x2 = 0.0f;  // right
    float y2 = 0.0f;  // bottom
    float score = 0.0f;
    int32_t classId = 0;  // 0-based
};

}  // namespace qz::vms_server_plugins::analytics::qzai
