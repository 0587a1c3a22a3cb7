#include "inference/decoders/nms.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Descending-score sort key: a larger score gives a smaller key, NaN the
// largest key, and -0 equals +0.
uint32_t scoreKey(float score) {
    if (std::isnan(score)) return 0xFFFFFFFFu;
    if (score == 0.0f) score = 0.0f;
    uint32_t bits;
    std::memcpy(&bits, &score, sizeof bits);
    const uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    return ~ascending;
}

// One candidate's rank: (class group, score key) packed, then the index.
struct Ranked {
    uint64_t key;
    uint32_t index;
    bool operator<(const Ranked& other) const {
        return key != other.key ? key < other.key : index < other.index;
    }
    uint32_t group() const { return static_cast<uint32_t>(key >> 32); }
};

std::vector<Ranked> rank(const std::vector<Detection>& candidates, bool byClass) {
    std::vector<Ranked> ranked(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) {
        const uint64_t group =
            byClass ? (static_cast<uint32_t>(candidates[i].classId) ^ 0x80000000u) : 0u;
        ranked[i] = {group << 32 | scoreKey(candidates[i].score), static_cast<uint32_t>(i)};
    }
    std::sort(ranked.begin(), ranked.end());
    return ranked;
}

struct ClampedOverlap {
    static float of(float ax1, float ay1, float ax2, float ay2, float aArea, float bx1, float by1,
                    float bx2, float by2, float bArea) {
        const float iw = std::max(0.0f, std::min(ax2, bx2) - std::max(ax1, bx1));
        const float ih = std::max(0.0f, std::min(ay2, by2) - std::max(ay1, by1));
        const float inter = iw * ih;
        const float uni = aArea + bArea - inter;
        return uni <= 0.0f ? 0.0f : inter / uni;
    }
};

struct PositiveOverlap {
    static float of(float ax1, float ay1, float ax2, float ay2, float aArea, float bx1, float by1,
                    float bx2, float by2, float bArea) {
        const float iw = std::min(ax2, bx2) - std::max(ax1, bx1);
        if (!(iw > 0.0f)) return 0.0f;
        const float ih = std::min(ay2, by2) - std::max(ay1, by1);
        if (!(ih > 0.0f)) return 0.0f;
        const float inter = iw * ih;
        return inter / (aArea + bArea - inter);
    }
};

// The boxes kept so far in one group, as columns.
struct KeptColumns {
    std::vector<float> x1, y1, x2, y2, area;
    void clear() {
        x1.clear();
        y1.clear();
        x2.clear();
        y2.clear();
        area.clear();
    }
    void push(const Detection& d, float a) {
        x1.push_back(d.x1);
        y1.push_back(d.y1);
        x2.push_back(d.x2);
        y2.push_back(d.y2);
        area.push_back(a);
    }
};

// Walks the ranked candidates group by group and sets keep[index] for each
// candidate no kept, higher-ranked candidate of its group overlaps by more
// than the threshold.
template <typename Overlap>
void greedyKeep(const std::vector<Detection>& candidates, const std::vector<Ranked>& ranked,
                float threshold, std::vector<uint8_t>& keep) {
    KeptColumns kept;
    for (size_t begin = 0; begin < ranked.size();) {
        const uint32_t group = ranked[begin].group();
        size_t end = begin;
        while (end < ranked.size() && ranked[end].group() == group) ++end;

        kept.clear();
        for (size_t r = begin; r < end; ++r) {
            const Detection& d = candidates[ranked[r].index];
            const float area = (d.x2 - d.x1) * (d.y2 - d.y1);
            const size_t n = kept.area.size();
            bool suppressed = false;
            for (size_t k = 0; k < n; ++k) {
                const float overlap = Overlap::of(kept.x1[k], kept.y1[k], kept.x2[k], kept.y2[k],
                                                  kept.area[k], d.x1, d.y1, d.x2, d.y2, area);
                if (overlap > threshold) {
                    suppressed = true;
                    break;
                }
            }
            if (!suppressed) {
                keep[ranked[r].index] = 1;
                kept.push(d, area);
            }
        }
        begin = end;
    }
}

float areaOf(const Detection& d) { return (d.x2 - d.x1) * (d.y2 - d.y1); }

}  // namespace

float detectionOverlap(const Detection& a, const Detection& b) {
    return ClampedOverlap::of(a.x1, a.y1, a.x2, a.y2, areaOf(a), b.x1, b.y1, b.x2, b.y2, areaOf(b));
}

float anchorFreeOverlap(const Detection& a, const Detection& b) {
    return PositiveOverlap::of(a.x1, a.y1, a.x2, a.y2, areaOf(a), b.x1, b.y1, b.x2, b.y2,
                               areaOf(b));
}

std::vector<Detection> applyNonMaximumSuppression(std::vector<Detection> candidates,
                                                  float iouThreshold, bool classAgnostic) {
    std::vector<Ranked> ranked = rank(candidates, !classAgnostic);
    std::vector<uint8_t> keep(candidates.size(), 0);
    greedyKeep<ClampedOverlap>(candidates, ranked, iouThreshold, keep);

    // Kept candidates back in plain score order.
    std::vector<Ranked> kept;
    kept.reserve(ranked.size());
    for (const Ranked& r : ranked) {
        if (keep[r.index]) kept.push_back({r.key & 0xFFFFFFFFu, r.index});
    }
    if (!classAgnostic) std::sort(kept.begin(), kept.end());

    std::vector<Detection> result;
    result.reserve(kept.size());
    for (const Ranked& r : kept) result.push_back(candidates[r.index]);
    return result;
}

std::vector<uint8_t> anchorFreeKeepFlags(const std::vector<Detection>& candidates,
                                         float iouThreshold) {
    std::vector<Ranked> ranked = rank(candidates, true);
    std::vector<uint8_t> keep(candidates.size(), 0);
    greedyKeep<PositiveOverlap>(candidates, ranked, iouThreshold, keep);
    return keep;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
