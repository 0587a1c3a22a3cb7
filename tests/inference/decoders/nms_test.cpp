#include "inference/decoders/nms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::Detection;

namespace {

// The overlap as the suppression rule defines it, written out independently:
// a is the higher-ranked box.
float definedOverlap(const Detection& a, const Detection& b) {
    float iw = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
    float ih = std::min(a.y2, b.y2) - std::max(a.y1, b.y1);
    iw = std::max(0.0f, iw);
    ih = std::max(0.0f, ih);
    const float inter = iw * ih;
    const float uni = (a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter;
    if (uni <= 0.0f) return 0.0f;
    return inter / uni;
}

bool sameBits(const Detection& a, const Detection& b) {
    return std::memcmp(&a, &b, sizeof(Detection)) == 0;
}

// Candidate i ranks above j: higher score, or equal score and lower index.
bool ranksAbove(const std::vector<Detection>& c, size_t i, size_t j) {
    return c[i].score > c[j].score || (c[i].score == c[j].score && i < j);
}

// Checks the output of the shared suppression against its definition: a
// subset in rank order, no kept pair of one group overlapping above the
// threshold, and every dropped candidate covered by a kept one ranked above.
void expectGreedyResult(const std::vector<Detection>& c, const std::vector<Detection>& out,
                        float thr, bool agnostic) {
    // (a) Map each output row to the lowest unused candidate index with the
    // same bits; identical candidates are interchangeable.
    std::vector<size_t> keptIndex;
    std::vector<bool> used(c.size(), false);
    for (const Detection& o : out) {
        size_t found = c.size();
        for (size_t i = 0; i < c.size(); ++i) {
            if (!used[i] && sameBits(c[i], o)) {
                found = i;
                break;
            }
        }
        ASSERT_LT(found, c.size()) << "output row is not a candidate";
        used[found] = true;
        keptIndex.push_back(found);
    }
    // (b) Rank order.
    for (size_t k = 1; k < keptIndex.size(); ++k) {
        EXPECT_TRUE(ranksAbove(c, keptIndex[k - 1], keptIndex[k])) << "row " << k;
    }
    auto sameGroup = [&](size_t i, size_t j) { return agnostic || c[i].classId == c[j].classId; };
    // (c) Kept rows do not suppress each other.
    for (size_t a = 0; a < keptIndex.size(); ++a) {
        for (size_t b = a + 1; b < keptIndex.size(); ++b) {
            const size_t i = keptIndex[a], j = keptIndex[b];
            if (sameGroup(i, j)) {
                EXPECT_FALSE(definedOverlap(c[i], c[j]) > thr);
            }
        }
    }
    // (d) Every dropped candidate is covered by a kept one ranked above it.
    for (size_t j = 0; j < c.size(); ++j) {
        if (used[j]) continue;
        bool covered = false;
        for (const size_t i : keptIndex) {
            if (sameGroup(i, j) && ranksAbove(c, i, j) && definedOverlap(c[i], c[j]) > thr) {
                covered = true;
                break;
            }
        }
        EXPECT_TRUE(covered) << "candidate " << j << " dropped without cause";
    }
}

// Integer boxes and a handful of score values: many ties and overlaps that
// land exactly on the threshold.
std::vector<Detection> randomCandidates(std::mt19937& rng, size_t n, int classes, bool withNaN,
                                        int spread = 30) {
    std::uniform_int_distribution<int> pos(0, spread), size(1, 12), cls(0, classes - 1), score(1, 8);
    std::vector<Detection> c(n);
    for (Detection& d : c) {
        d.x1 = static_cast<float>(pos(rng));
        d.y1 = static_cast<float>(pos(rng));
        d.x2 = d.x1 + static_cast<float>(size(rng));
        d.y2 = d.y1 + static_cast<float>(size(rng));
        d.score = static_cast<float>(score(rng)) / 8.0f;
        d.classId = cls(rng);
    }
    if (withNaN && n > 3) {
        c[1].x1 = NAN;
        c[n / 2].y2 = NAN;
    }
    return c;
}

TEST(ApplyNonMaximumSuppression, MatchesTheGreedyDefinitionOnRandomSets) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        const size_t n = 1 + rng() % 120;
        const int classes = 1 + static_cast<int>(rng() % 4);
        const float thr = std::vector<float>{0.0f, 0.25f, 0.45f, 0.5f, 0.7f}[rng() % 5];
        const bool agnostic = rng() % 3 == 0;
        const auto c = randomCandidates(rng, n, classes, round % 4 == 0);
        SCOPED_TRACE(::testing::Message() << "round " << round << " n " << n << " thr " << thr);
        expectGreedyResult(c, qzai::applyNonMaximumSuppression(c, thr, agnostic), thr, agnostic);
    }
}

TEST(ApplyNonMaximumSuppression, MatchesTheGreedyDefinitionOnLargeGroups) {
    // Groups of a few hundred boxes, spread over a wider area, so that the
    // kept boxes are looked up by position rather than tested one by one.
    std::mt19937 rng(5150);
    for (int round = 0; round < 40; ++round) {
        const size_t n = 128 + rng() % 600;
        const int classes = 1 + static_cast<int>(rng() % 2);
        const float thr = std::vector<float>{0.0f, 0.3f, 0.5f, 0.9f}[rng() % 4];
        const bool agnostic = rng() % 3 == 0;
        const auto c = randomCandidates(rng, n, classes, round % 4 == 0, 30 + round * 20);
        SCOPED_TRACE(::testing::Message() << "round " << round << " n " << n << " thr " << thr);
        expectGreedyResult(c, qzai::applyNonMaximumSuppression(c, thr, agnostic), thr, agnostic);
    }

    // Boxes with finite corners whose width does not fit in a float.
    std::vector<Detection> wide;
    for (int i = 0; i < 200; ++i) {
        const float y = static_cast<float>(i % 20) * 6.0f;
        wide.push_back({-3e38f, y, 3e38f, y + 10.0f, 0.5f + static_cast<float>(i) / 1024.0f, 0});
    }
    expectGreedyResult(wide, qzai::applyNonMaximumSuppression(wide, 0.45f, false), 0.45f, false);
}

TEST(ApplyNonMaximumSuppression, ThresholdIsStrict) {
    // Intersection 2, union 4: overlap exactly 0.5.
    const std::vector<Detection> c = {{0, 0, 3, 1, 0.9f, 0}, {1, 0, 4, 1, 0.8f, 0}};
    EXPECT_EQ(qzai::applyNonMaximumSuppression(c, 0.5f, false).size(), 2u);
    const auto out = qzai::applyNonMaximumSuppression(c, 0.49f, false);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].score, 0.9f);
}

TEST(ApplyNonMaximumSuppression, ClassesAndSuppressedBoxes) {
    const std::vector<Detection> twins = {{0, 0, 10, 10, 0.8f, 1}, {0, 0, 10, 10, 0.9f, 2}};
    EXPECT_EQ(qzai::applyNonMaximumSuppression(twins, 0.5f, false).size(), 2u);
    const auto agnostic = qzai::applyNonMaximumSuppression(twins, 0.5f, true);
    ASSERT_EQ(agnostic.size(), 1u);
    EXPECT_EQ(agnostic[0].classId, 2);

    // B is suppressed by A (overlap 70/130); C overlaps only B and stays.
    const std::vector<Detection> chain = {
        {6, 0, 16, 10, 0.7f, 0}, {0, 0, 10, 10, 0.9f, 0}, {3, 0, 13, 10, 0.8f, 0}};
    const auto out = qzai::applyNonMaximumSuppression(chain, 0.5f, false);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].score, 0.9f);
    EXPECT_EQ(out[1].score, 0.7f);
}

TEST(ApplyNonMaximumSuppression, DegenerateInputs) {
    EXPECT_TRUE(qzai::applyNonMaximumSuppression({}, 0.5f, false).empty());
    // Inverted and empty boxes overlap nothing; a NaN box suppresses nothing
    // and is not suppressed; a NaN score ranks last.
    const std::vector<Detection> c = {{10, 10, 0, 0, 0.9f, 0},
                                      {0, 0, 10, 10, 0.8f, 0},
                                      {5, 5, 5, 5, 0.7f, 0},
                                      {NAN, 0, 10, 10, 0.95f, 0},
                                      {50, 50, 60, 60, NAN, 0}};
    const auto out = qzai::applyNonMaximumSuppression(c, 0.5f, false);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].score, 0.95f);
    EXPECT_TRUE(std::isnan(out[4].score));
}

TEST(AnchorFreeKeepFlags, SameKeptSetAsTheSharedRuleForPositiveBoxes) {
    std::mt19937 rng(77);
    for (int round = 0; round < 100; ++round) {
        const auto c = randomCandidates(rng, 1 + rng() % 150, 3, false);
        const float thr = round % 2 ? 0.45f : 0.5f;
        const auto flags = qzai::anchorFreeKeepFlags(c, thr);
        std::vector<Detection> kept;
        for (size_t i = 0; i < c.size(); ++i) {
            if (flags[i]) kept.push_back(c[i]);
        }
        const auto shared = qzai::applyNonMaximumSuppression(c, thr, false);
        ASSERT_EQ(kept.size(), shared.size()) << "round " << round;
        // Flags are in candidate order; the shared result holds the same
        // candidates in rank order.
        std::vector<Detection> sorted = kept;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Detection& a, const Detection& b) { return a.score > b.score; });
        for (size_t k = 0; k < kept.size(); ++k) EXPECT_TRUE(sameBits(sorted[k], shared[k]));
    }
}

}  // namespace
