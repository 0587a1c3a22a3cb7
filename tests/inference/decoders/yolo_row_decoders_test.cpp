// AnchorBasedYolo and YOLO26: row-major outputs picked by name or type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "decoder_test_util.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/detection.h"

using namespace decoder_test;

namespace {

TensorDesc rows(std::vector<std::vector<float>> r, std::string name = "output0") {
    const int size = r.empty() ? 6 : static_cast<int>(r[0].size());
    std::vector<float> v;
    for (const auto& row : r) v.insert(v.end(), row.begin(), row.end());
    return floatTensor(std::move(name), {1, static_cast<int32_t>(r.size()), size}, std::move(v));
}

TEST(AnchorBasedYolo, ScoresAreObjectnessTimesClassAndSortedAfterNms) {
    // Row 0: 0.5 x 0.6 = 0.3 passes 0.25. Row 1 overlaps row 2 (same class,
    // 20x20 boxes shifted by 2: 360 / 440 = 0.82) and scores lower, so it goes.
    // Row 3: best product 0.9 x 0.2 = 0.18 fails.
    SetPtr input = makeSet({rows({{100, 100, 20, 20, 0.5f, 0.1f, 0.6f},
                                  {302, 300, 20, 20, 0.8f, 0.9f, 0.0f},
                                  {300, 300, 20, 20, 1.0f, 0.95f, 0.1f},
                                  {500, 500, 20, 20, 0.9f, 0.2f, 0.1f}})},
                           4);
    LogCapture log;
    SetPtr out(qzai::decodeAnchorBasedYolo(input.get(), 0.25f, 0.45f));
    EXPECT_EQ(out->id, 4u);
    EXPECT_EQ(resultValues(out.get()),
              (std::vector<float>{290, 290, 310, 310, 0.95f, 0, 90, 90, 110, 110, 0.5f * 0.6f, 1}));
    EXPECT_EQ(log.verbose, (std::vector<std::string>{
                               "[AnchorBasedYolo] Decoding 4 anchors, 2 classes.\n",
                               "[AnchorBasedYolo] 2 detections after NMS.\n"}));
}

TEST(AnchorBasedYolo, EqualProductsKeepTheFirstClassAndZeroRowsPassOnlyAtConfZero) {
    SetPtr input = makeSet({rows({{10, 10, 4, 4, 0.5f, 0.4f, 0.8f, 0.8f},
                                  {50, 50, 4, 4, -1.0f, 0.5f, 0.5f, 0.5f}})});
    const auto at0 = resultValues(SetPtr(qzai::decodeAnchorBasedYolo(input.get(), 0.0f, 0.45f)).get());
    // Score 0.4 in class 1, then the all-negative row with score 0, class 0.
    EXPECT_EQ(at0, (std::vector<float>{8, 8, 12, 12, 0.4f, 1, 48, 48, 52, 52, 0, 0}));
    LogCapture log;
    SetPtr none(qzai::decodeAnchorBasedYolo(input.get(), 0.5f, 0.45f));
    EXPECT_EQ(none->count, 0u);
    EXPECT_EQ(log.verbose.back(), "[AnchorBasedYolo] 0 detections after NMS.\n");
}

TEST(AnchorBasedYolo, MatchesThePlainClassLoopOnOddValues) {
    // Ties, zeros of both signs, NaN, infinities, denormals and negative
    // objectness, over row sizes with and without a partial last block.
    std::mt19937 rng(404);
    const float pool[] = {0.5f, 0.5f, 0.25f, 0.3f, 1.0f, 0.0f, -0.0f, -0.5f, NAN,
                          INFINITY, -INFINITY, 1e-40f, 0.7f, 0.7f, 2.0f};
    auto pick = [&] {
        return rng() % 4 == 0 ? std::uniform_real_distribution<float>(0.0f, 1.0f)(rng)
                              : pool[rng() % std::size(pool)];
    };
    for (const int rowSize : {6, 7, 21, 85, 86}) {
        const int n = 300;
        std::vector<float> v;
        for (int r = 0; r < n; ++r) {
            v.insert(v.end(), {static_cast<float>(rng() % 600), static_cast<float>(rng() % 600),
                               static_cast<float>(1 + rng() % 50), static_cast<float>(1 + rng() % 50)});
            for (int k = 4; k < rowSize; ++k) v.push_back(pick());
        }
        SetPtr input = makeSet({floatTensor("output0", {1, n, rowSize}, v)});
        for (const float conf : {0.25f, 0.15f, 0.0f, -1.0f}) {
            // best = 0, class = 0; a product strictly above best replaces it;
            // a row whose best product is infinite is no candidate.
            std::vector<qzai::Detection> expected;
            for (int r = 0; r < n; ++r) {
                const float* row = v.data() + static_cast<size_t>(r) * rowSize;
                float best = 0.0f;
                int cls = 0;
                for (int c = 0; c < rowSize - 5; ++c) {
                    if (row[4] * row[5 + c] > best) {
                        best = row[4] * row[5 + c];
                        cls = c;
                    }
                }
                if (best >= conf && std::isfinite(best)) {
                    expected.push_back({row[0] - 0.5f * row[2], row[1] - 0.5f * row[3],
                                        row[0] + 0.5f * row[2], row[1] + 0.5f * row[3], best, cls});
                }
            }
            // An overlap never exceeds 2: every candidate is kept, by score.
            std::stable_sort(expected.begin(), expected.end(),
                             [](const qzai::Detection& a, const qzai::Detection& b) {
                                 return a.score > b.score;
                             });
            SetPtr out(qzai::decodeAnchorBasedYolo(input.get(), conf, 2.0f));
            const auto got = resultValues(out.get());
            ASSERT_EQ(got.size(), expected.size() * 6) << rowSize << " " << conf;
            for (size_t k = 0; k < expected.size(); ++k) {
                const qzai::Detection& d = expected[k];
                const float row[6] = {d.x1, d.y1, d.x2, d.y2, d.score, static_cast<float>(d.classId)};
                EXPECT_EQ(std::memcmp(row, got.data() + 6 * k, sizeof row), 0)
                    << "row size " << rowSize << " conf " << conf << " row " << k;
            }
        }
    }
}

TEST(AnchorBasedYolo, PicksByNameThenByType) {
    // Only a float tensor named "logits": the fallback ignores names.
    SetPtr fallback = makeSet({rows({{10, 10, 4, 4, 1.0f, 0.9f}}, "logits")});
    EXPECT_EQ(SetPtr(qzai::decodeAnchorBasedYolo(fallback.get(), 0.25f, 0.45f))->count, 1u);
    EXPECT_EQ(SetPtr(qzai::decodeYolo26(fallback.get(), 0.25f))->count, 1u);

    // A uint8 tensor named "output0" is picked and refused even though a
    // float tensor follows.
    TensorDesc quantised = rows({{10, 10, 4, 4, 1.0f, 0.9f}});
    quantised.elementType = QZ_ELEMENT_UINT8;
    SetPtr named = makeSet({quantised, rows({{10, 10, 4, 4, 1.0f, 0.9f}}, "logits")});
    LogCapture log;
    EXPECT_EQ(SetPtr(qzai::decodeAnchorBasedYolo(named.get(), 0.25f, 0.45f))->count, 0u);
    EXPECT_EQ(SetPtr(qzai::decodeYolo26(named.get(), 0.25f))->count, 0u);
    EXPECT_EQ(log.warnings, (std::vector<std::string>{
                                "Warning! [AnchorBasedYolo] No FLOAT tensor found in input.\n",
                                "Warning! [YOLO26] No FLOAT tensor found in input.\n"}));
}

TEST(RowDecoders, ShapeWarningTexts) {
    TensorDesc batch2 = floatTensor("output0", {2, 100, 85}, std::vector<float>(2 * 100 * 85));
    TensorDesc narrow = floatTensor("output0", {100, 5}, std::vector<float>(500));
    TensorDesc seven = floatTensor("output0", {1, 300, 7}, std::vector<float>(2100));
    LogCapture log;
    SetPtr a = makeSet({batch2}), b = makeSet({narrow}), c = makeSet({seven});
    for (const TensorSet* s : {a.get(), b.get()}) {
        EXPECT_EQ(SetPtr(qzai::decodeAnchorBasedYolo(s, 0.25f, 0.45f))->id, 7u);
    }
    EXPECT_EQ(SetPtr(qzai::decodeYolo26(a.get(), 0.25f))->count, 0u);
    EXPECT_EQ(SetPtr(qzai::decodeYolo26(c.get(), 0.25f))->count, 0u);
    EXPECT_EQ(log.warnings,
              (std::vector<std::string>{
                  "Warning! [AnchorBasedYolo] Unexpected tensor rank 3.\n",
                  "Warning! [AnchorBasedYolo] Row size 5 too small (need at least 6).\n",
                  "Warning! [YOLO26] Unexpected tensor rank 3.\n",
                  "Warning! [YOLO26] Expected row size 6, got 7.\n"}));
}

TEST(Yolo26, KeepsRowsAtOrAboveConfUnchangedInModelOrder) {
    SetPtr input = makeSet({rows({{1, 2, 3, 4, 0.25f, 2.5f},
                                  {5, 6, 7, 8, 0.2f, 1.0f},
                                  {9, 10, 11, 12, 0.9f, -3.0f},
                                  {13, 14, 15, 16, 0.3f, NAN},
                                  {17, 18, 19, 20, NAN, 1.0f},
                                  {21, 22, 23, 24, INFINITY, 1.0f}})},
                           21);
    LogCapture log;
    SetPtr out(qzai::decodeYolo26(input.get(), 0.25f));
    EXPECT_EQ(out->id, 21u);
    const auto got = resultValues(out.get());
    ASSERT_EQ(got.size(), 18u);
    EXPECT_EQ(std::vector<float>(got.begin(), got.begin() + 17),
              (std::vector<float>{1, 2, 3, 4, 0.25f, 2.5f, 9, 10, 11, 12, 0.9f, -3.0f, 13, 14, 15,
                                  16, 0.3f}));
    EXPECT_TRUE(std::isnan(got[17]));
    EXPECT_EQ(log.verbose, (std::vector<std::string>{"[YOLO26] 3 detections above threshold.\n"}));
}

}  // namespace
