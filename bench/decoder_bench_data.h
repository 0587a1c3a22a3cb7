// Synthetic decoder inputs for the benchmarks: clustered proposals around a
// few objects (about 25 per object), the shape real detector outputs have,
// and a straightforward greedy suppression used as the in-run reference.
#pragma once

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "inference/decoders/detection.h"

namespace decoder_bench {

using Detection = qz::vms_server_plugins::analytics::qzai::Detection;

// n candidates around n / 25 objects in a 640 x 640 input; `jitter` is the
// proposal spread as a fraction of the object size (small: high overlap).
// jitter 0 gives n independent random boxes instead (few overlaps).
inline std::vector<Detection> clusteredCandidates(int n, int classes, float jitter,
                                                  unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> centre(40.0f, 600.0f), size(16.0f, 200.0f),
        unit(-1.0f, 1.0f), score(0.25f, 1.0f);
    std::uniform_int_distribution<int> cls(0, classes - 1);
    const int objects = jitter > 0.0f ? std::max(1, n / 25) : n;
    std::vector<Detection> out;
    out.reserve(n);
    std::vector<Detection> centres(objects);
    for (Detection& o : centres) {
        o.x1 = centre(rng);
        o.y1 = centre(rng);
        o.x2 = size(rng);
        o.y2 = size(rng);
        o.classId = cls(rng);
    }
    for (int i = 0; i < n; ++i) {
        const Detection& o = centres[i % objects];
        const float cx = o.x1 + unit(rng) * jitter * o.x2;
        const float cy = o.y1 + unit(rng) * jitter * o.y2;
        const float w = o.x2 * (1.0f + unit(rng) * jitter);
        const float h = o.y2 * (1.0f + unit(rng) * jitter);
        out.push_back({cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, score(rng),
                       o.classId});
    }
    return out;
}

inline float referenceOverlap(const Detection& a, const Detection& b) {
    const float iw = std::max(0.0f, std::min(a.x2, b.x2) - std::max(a.x1, b.x1));
    const float ih = std::max(0.0f, std::min(a.y2, b.y2) - std::max(a.y1, b.y1));
    const float inter = iw * ih;
    const float uni = (a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter;
    return uni <= 0.0f ? 0.0f : inter / uni;
}

// The textbook greedy walk over all candidates: stable sort by score, then
// each kept box flags every later box of its class above the threshold.
// Returns kept candidate indices in score order.
inline std::vector<int> referenceGreedyNms(const std::vector<Detection>& c, float thr,
                                           bool agnostic) {
    std::vector<int> order(c.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return c[a].score > c[b].score; });
    std::vector<char> suppressed(c.size(), 0);
    std::vector<int> kept;
    for (size_t i = 0; i < order.size(); ++i) {
        if (suppressed[i]) continue;
        const Detection& a = c[order[i]];
        kept.push_back(order[i]);
        for (size_t j = i + 1; j < order.size(); ++j) {
            const Detection& b = c[order[j]];
            if (suppressed[j] || (!agnostic && a.classId != b.classId)) continue;
            if (referenceOverlap(a, b) > thr) suppressed[j] = 1;
        }
    }
    return kept;
}

}  // namespace decoder_bench
