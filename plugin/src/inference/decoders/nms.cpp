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

// Entries pack (score key << 32 | candidate index): sorting them ascending
// gives score order, highest first, NaN last, equal scores by index.
uint64_t entryOf(const Detection& d, size_t index) {
    return static_cast<uint64_t>(scoreKey(d.score)) << 32 | static_cast<uint32_t>(index);
}

uint32_t indexOf(uint64_t entry) { return static_cast<uint32_t>(entry); }

// Sorts entries ascending. Large ranges use a stable LSD radix sort over the
// score key (the indices come in ascending order within each range, so
// stability keeps them as the tie-break).
void sortEntries(uint64_t* begin, uint64_t* end, std::vector<uint64_t>& scratch) {
    const size_t n = static_cast<size_t>(end - begin);
    if (n < 256) {
        std::sort(begin, end);
        return;
    }
    uint32_t count[4][256] = {};
    for (const uint64_t* e = begin; e != end; ++e) {
        const uint32_t key = static_cast<uint32_t>(*e >> 32);
        ++count[0][key & 0xFF];
        ++count[1][(key >> 8) & 0xFF];
        ++count[2][(key >> 16) & 0xFF];
        ++count[3][key >> 24];
    }
    scratch.resize(n);
    uint64_t* from = begin;
    uint64_t* to = scratch.data();
    for (int digit = 0; digit < 4; ++digit) {
        const int shift = 32 + 8 * digit;
        uint32_t* c = count[digit];
        if (c[(*from >> shift) & 0xFF] == n) continue;  // one bucket: order unchanged
        uint32_t position = 0;
        for (int b = 0; b < 256; ++b) {
            const uint32_t size = c[b];
            c[b] = position;
            position += size;
        }
        for (size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0xFF]++] = from[i];
        std::swap(from, to);
    }
    if (from != begin) std::copy(from, from + n, begin);
}

// Candidate entries grouped by class (or one group when class-agnostic),
// each group in score order; `starts` holds each group's first position
// followed by the end.
struct Groups {
    std::vector<uint64_t> order;
    std::vector<size_t> starts;
};

Groups rankCandidates(const std::vector<Detection>& c, bool byClass) {
    Groups g;
    const size_t n = c.size();
    g.order.resize(n);
    g.starts.push_back(0);
    if (n == 0) return g;
    int32_t lo = c[0].classId, hi = c[0].classId;
    if (byClass) {
        for (const Detection& d : c) {
            lo = std::min(lo, d.classId);
            hi = std::max(hi, d.classId);
        }
    }
    const uint64_t range = static_cast<uint64_t>(static_cast<int64_t>(hi) - lo) + 1;
    if (!byClass || range == 1) {
        for (size_t i = 0; i < n; ++i) g.order[i] = entryOf(c[i], i);
        g.starts.push_back(n);
    } else if (range <= n + 4096) {
        // Counting sort by class, candidates in index order within a class.
        auto bucket = [&](int32_t cls) { return static_cast<size_t>(static_cast<int64_t>(cls) - lo); };
        std::vector<size_t> next(range, 0);
        for (const Detection& d : c) ++next[bucket(d.classId)];
        size_t position = 0;
        for (size_t& slot : next) {
            const size_t size = slot;
            slot = position;
            position += size;
            if (size > 0) g.starts.push_back(position);
        }
        for (size_t i = 0; i < n; ++i) g.order[next[bucket(c[i].classId)]++] = entryOf(c[i], i);
    } else {
        std::vector<uint32_t> byClassIndex(n);
        for (size_t i = 0; i < n; ++i) byClassIndex[i] = static_cast<uint32_t>(i);
        std::stable_sort(byClassIndex.begin(), byClassIndex.end(),
                         [&](uint32_t a, uint32_t b) { return c[a].classId < c[b].classId; });
        for (size_t i = 0; i < n; ++i) {
            g.order[i] = entryOf(c[byClassIndex[i]], byClassIndex[i]);
            if (i > 0 && c[byClassIndex[i]].classId != c[byClassIndex[i - 1]].classId) {
                g.starts.push_back(i);
            }
        }
        g.starts.push_back(n);
    }
    std::vector<uint64_t> scratch;
    for (size_t k = 0; k + 1 < g.starts.size(); ++k) {
        sortEntries(g.order.data() + g.starts[k], g.order.data() + g.starts[k + 1], scratch);
    }
    return g;
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
    size_t size() const { return area.size(); }
};

// A box that can share a positive-area intersection with another box.
bool isSolid(const Detection& d) {
    return std::isfinite(d.x1) && std::isfinite(d.y1) && std::isfinite(d.x2) &&
           std::isfinite(d.y2) && d.x2 > d.x1 && d.y2 > d.y1;
}

// Uniform grid over a group's solid boxes; each kept solid box is listed in
// every cell it touches. Two solid boxes with a positive-area intersection
// share a cell: the cell of any interior point lies in both cell ranges,
// because the cell mapping is monotone.
class KeptGrid {
public:
    static constexpr int kMaxCells = 64;

    void reset(const std::vector<Detection>& c, const uint64_t* begin, const uint64_t* end) {
        float minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
        double sumW = 0.0, sumH = 0.0;
        size_t solid = 0;
        for (const uint64_t* e = begin; e != end; ++e) {
            const Detection& d = c[indexOf(*e)];
            if (!isSolid(d)) continue;
            minX = std::min(minX, d.x1);
            minY = std::min(minY, d.y1);
            maxX = std::max(maxX, d.x2);
            maxY = std::max(maxY, d.y2);
            // In double: the width of a box with finite corners may not fit
            // in a float.
            sumW += static_cast<double>(d.x2) - d.x1;
            sumH += static_cast<double>(d.y2) - d.y1;
            ++solid;
        }
        columns_ = rows_ = 1;
        x0_ = y0_ = 0.0f;
        scaleX_ = scaleY_ = 0.0f;
        if (solid > 0) {
            x0_ = minX;
            y0_ = minY;
            // Cells about one mean box wide: a box touches a few cells.
            columns_ = axisCells(maxX - minX, sumW / solid);
            rows_ = axisCells(maxY - minY, sumH / solid);
            scaleX_ = scaleFor(columns_, minX, maxX);
            scaleY_ = scaleFor(rows_, minY, maxY);
        }
        head_.assign(static_cast<size_t>(columns_) * rows_, kNone);
        links_.clear();
    }

    void insert(uint32_t kept, const Detection& d) {
        int cx0, cx1, cy0, cy1;
        range(d, cx0, cx1, cy0, cy1);
        for (int y = cy0; y <= cy1; ++y) {
            for (int x = cx0; x <= cx1; ++x) {
                uint32_t& head = head_[static_cast<size_t>(y) * columns_ + x];
                links_.push_back({kept, head});
                head = static_cast<uint32_t>(links_.size() - 1);
            }
        }
    }

    // Calls test(k) for every kept box sharing a cell with d (possibly more
    // than once) until it returns true.
    template <typename Test>
    bool any(const Detection& d, Test&& test) const {
        int cx0, cx1, cy0, cy1;
        range(d, cx0, cx1, cy0, cy1);
        for (int y = cy0; y <= cy1; ++y) {
            for (int x = cx0; x <= cx1; ++x) {
                for (uint32_t l = head_[static_cast<size_t>(y) * columns_ + x]; l != kNone;
                     l = links_[l].next) {
                    if (test(links_[l].kept)) return true;
                }
            }
        }
        return false;
    }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    struct Link {
        uint32_t kept;
        uint32_t next;
    };

    static int axisCells(float extent, double meanSize) {
        if (!(extent > 0.0f) || !(meanSize > 0.0)) return 1;
        const double cells = std::ceil(extent / meanSize);
        if (!(cells > 1.0)) return 1;  // also NaN
        return cells >= kMaxCells ? kMaxCells : static_cast<int>(cells);
    }

    static float scaleFor(int cells, float lo, float hi) {
        const float scale = static_cast<float>(cells / (static_cast<double>(hi) - lo));
        return std::isfinite(scale) ? scale : 0.0f;
    }

    static int cellOf(float v, float origin, float scale, int count) {
        const float f = (v - origin) * scale;
        if (!(f > 0.0f)) return 0;
        return f >= static_cast<float>(count - 1) ? count - 1 : static_cast<int>(f);
    }

    void range(const Detection& d, int& cx0, int& cx1, int& cy0, int& cy1) const {
        cx0 = cellOf(d.x1, x0_, scaleX_, columns_);
        cx1 = cellOf(d.x2, x0_, scaleX_, columns_);
        cy0 = cellOf(d.y1, y0_, scaleY_, rows_);
        cy1 = cellOf(d.y2, y0_, scaleY_, rows_);
    }

    float x0_ = 0.0f, y0_ = 0.0f, scaleX_ = 0.0f, scaleY_ = 0.0f;
    int columns_ = 1, rows_ = 1;
    std::vector<uint32_t> head_;
    std::vector<Link> links_;
};

// Groups at least this large use the grid.
constexpr size_t kGridFrom = 128;

// Walks the ranked candidates group by group and sets keep[index] for each
// candidate that no kept, higher-ranked candidate of its group overlaps by
// more than the threshold.
//
// Whether a candidate stays depends only on the set of boxes kept before it,
// so it may be tested against them in any order. With a threshold >= 0 only
// a positive-area intersection can exceed it (otherwise the overlap is 0 or
// NaN), so for solid candidates the grid's neighbours are enough. Other
// candidates and small groups test every kept box.
template <typename Overlap>
void greedyKeep(const std::vector<Detection>& candidates, const std::vector<uint64_t>& order,
                const std::vector<size_t>& starts, float threshold, std::vector<uint8_t>& keep) {
    KeptColumns kept;
    KeptGrid grid;
    for (size_t g = 0; g + 1 < starts.size(); ++g) {
        const uint64_t* begin = order.data() + starts[g];
        const uint64_t* end = order.data() + starts[g + 1];
        const bool useGrid = threshold >= 0.0f && static_cast<size_t>(end - begin) >= kGridFrom;
        if (useGrid) grid.reset(candidates, begin, end);
        kept.clear();
        for (const uint64_t* e = begin; e != end; ++e) {
            const Detection& d = candidates[indexOf(*e)];
            const float area = (d.x2 - d.x1) * (d.y2 - d.y1);
            auto suppresses = [&](size_t k) {
                return Overlap::of(kept.x1[k], kept.y1[k], kept.x2[k], kept.y2[k], kept.area[k],
                                   d.x1, d.y1, d.x2, d.y2, area) > threshold;
            };
            const bool solid = useGrid && isSolid(d);
            bool suppressed = false;
            if (solid) {
                suppressed = grid.any(d, suppresses);
            } else {
                for (size_t k = 0; k < kept.size() && !suppressed; ++k) suppressed = suppresses(k);
            }
            if (!suppressed) {
                keep[indexOf(*e)] = 1;
                if (solid) grid.insert(static_cast<uint32_t>(kept.size()), d);
                kept.push(d, area);
            }
        }
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
    Groups groups = rankCandidates(candidates, !classAgnostic);
    std::vector<uint8_t> keep(candidates.size(), 0);
    greedyKeep<ClampedOverlap>(candidates, groups.order, groups.starts, iouThreshold, keep);

    // The kept entries of all groups, back in plain score order.
    std::vector<uint64_t> kept;
    for (const uint64_t e : groups.order) {
        if (keep[indexOf(e)]) kept.push_back(e);
    }
    if (groups.starts.size() > 2) std::sort(kept.begin(), kept.end());
    std::vector<Detection> result;
    result.reserve(kept.size());
    for (const uint64_t e : kept) result.push_back(candidates[indexOf(e)]);
    return result;
}

std::vector<uint8_t> anchorFreeKeepFlags(const std::vector<Detection>& candidates,
                                         float iouThreshold) {
    const Groups groups = rankCandidates(candidates, true);
    std::vector<uint8_t> keep(candidates.size(), 0);
    greedyKeep<PositiveOverlap>(candidates, groups.order, groups.starts, iouThreshold, keep);
    return keep;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
