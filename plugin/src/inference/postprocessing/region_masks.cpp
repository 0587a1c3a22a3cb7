#include "inference/postprocessing/region_masks.h"

#include <algorithm>
#include <cmath>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr float kEdgeTolerance = 0.0001f;
constexpr int32_t kInclusive = 0;
constexpr int32_t kExclusive = 1;

bool insideAny(const std::vector<const InputMask_t*>& masks, float px, float py) {
    return std::any_of(masks.begin(), masks.end(),
                       [&](const InputMask_t* mask) { return pointInPolygon(mask->points, px, py); });
}

}  // namespace

bool pointInPolygon(const std::vector<float>& polygon, float px, float py) {
    const size_t vertices = polygon.size() / 2;
    bool inside = false;
    for (size_t i = 0, j = vertices - 1; i < vertices; j = i++) {
        const float xi = polygon[2 * i], yi = polygon[2 * i + 1];
        const float xj = polygon[2 * j], yj = polygon[2 * j + 1];
        const float cross = (xj - xi) * (py - yi) - (px - xi) * (yj - yi);
        if (std::fabs(cross) <= kEdgeTolerance && px >= std::min(xi, xj) - kEdgeTolerance &&
            px <= std::max(xi, xj) + kEdgeTolerance && py >= std::min(yi, yj) - kEdgeTolerance &&
            py <= std::max(yi, yj) + kEdgeTolerance)
            return true;
        // (yi > py) != (yj > py) implies yi != yj, so the division is safe.
        if ((yi > py) != (yj > py) && xi + (xj - xi) * (py - yi) / (yj - yi) > px) inside = !inside;
    }
    return inside;
}

QzAIObjectList filterObjectsByMask(const QzAIObjectList& objects, const std::vector<InputMask_t>& masks) {
    if (masks.empty()) return objects;
    std::vector<const InputMask_t*> inclusive, exclusive;
    for (const InputMask_t& mask : masks) {
        if (mask.type == kInclusive) inclusive.push_back(&mask);
        else if (mask.type == kExclusive) exclusive.push_back(&mask);
    }
    QzAIObjectList kept;
    kept.reserve(objects.size());
    for (const QzAIObjectPtr& object : objects) {
        if (!object) continue;
        const BoxXywh box = object->snapshot().box;
        const float px = box.x + 0.5f * box.width;
        const float py = box.y + box.height;
        if (!inclusive.empty() && !insideAny(inclusive, px, py)) continue;
        if (insideAny(exclusive, px, py)) continue;
        kept.push_back(object);
    }
    return kept;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
