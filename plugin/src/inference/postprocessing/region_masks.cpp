#include "inference/postprocessing/region_masks.h"

#include <algorithm>
#include <cmath>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr float kEdgeTolerance = 0.0001f;
constexpr int32_t kInclusive = 0;
constexpr int32_t kExclusive = 1;

// A mask with the box of its vertices. For vertices of moderate size (every
// mask drawn on a frame) a point beyond the box, widened by the edge
// tolerance, cannot lie on an edge nor cross one to its right, so the full
// test is skipped; rounding in the crossing's x stays far below the
// tolerance there. Other masks always take the full test.
struct PreparedMask {
    const InputMask_t* mask = nullptr;
    bool bounded = false;
    float minY = 0.0f, maxY = 0.0f, maxX = 0.0f;

    explicit PreparedMask(const InputMask_t& m) : mask(&m) {
        constexpr float kModerate = 16.0f;
        const size_t values = m.points.size() / 2 * 2;
        if (values == 0) return;
        bounded = true;
        minY = maxY = m.points[1];
        maxX = m.points[0];
        for (size_t i = 0; i < values; i += 2) {
            const float x = m.points[i], y = m.points[i + 1];
            if (!(std::fabs(x) <= kModerate && std::fabs(y) <= kModerate)) {
                bounded = false;
                return;
            }
            minY = std::min(minY, y), maxY = std::max(maxY, y), maxX = std::max(maxX, x);
        }
    }

    bool contains(float px, float py) const {
        if (bounded && (py < minY - kEdgeTolerance || py > maxY + kEdgeTolerance || px > maxX + kEdgeTolerance))
            return false;
        return pointInPolygon(mask->points, px, py);
    }
};

bool insideAny(const std::vector<PreparedMask>& masks, float px, float py) {
    return std::any_of(masks.begin(), masks.end(), [&](const PreparedMask& mask) { return mask.contains(px, py); });
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
    std::vector<PreparedMask> inclusive, exclusive;
    for (const InputMask_t& mask : masks) {
        if (mask.type == kInclusive) inclusive.emplace_back(mask);
        else if (mask.type == kExclusive) exclusive.emplace_back(mask);
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
