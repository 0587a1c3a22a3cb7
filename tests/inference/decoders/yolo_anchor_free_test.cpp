#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#include "decoder_test_util.h"
#include "inference/decoders/anchor_free_yolo.h"
#include "inference/decoders/decoders.h"
#include "platform/processor_count.h"

using namespace decoder_test;

namespace {

struct Proposal {
    float cx, cy, w, h;
    std::vector<float> scores;
};

// Channel-major [1, 4 + K, N]: value(k, i) at k * N + i.
TensorDesc channelMajor(const std::vector<Proposal>& p, int classes, std::string name = "output0") {
    const int n = static_cast<int>(p.size());
    std::vector<float> v(static_cast<size_t>(4 + classes) * n, 0.0f);
    for (int i = 0; i < n; ++i) {
        v[i] = p[i].cx;
        v[n + i] = p[i].cy;
        v[2 * n + i] = p[i].w;
        v[3 * n + i] = p[i].h;
        for (int c = 0; c < classes; ++c) v[(4 + c) * n + i] = p[i].scores[c];
    }
    return floatTensor(std::move(name), {1, 4 + classes, n}, std::move(v));
}

SetPtr decode(const TensorSet* input, float conf = 0.25f, float iou = 0.45f) {
    return SetPtr(qzai::decodeAnchorFreeYolo(input, conf, iou));
}

TEST(AnchorFreeYolo, HandFixtureKeepsRowsInProposalOrder) {
    // p0 (90, 80, 110, 120) and p2 (94, 81, 114, 121) are class 0: they
    // overlap 16 x 39 = 624 over 800 + 800 - 624 = 976, 0.639 > 0.45, so p2
    // goes. p1 is class 1.
    SetPtr input = makeSet({channelMajor({{100, 100, 20, 40, {0.9f, 0.1f}},
                                          {102, 100, 20, 40, {0.2f, 0.95f}},
                                          {104, 101, 20, 40, {0.7f, 0.2f}}},
                                         2)},
                           12);
    LogCapture log;
    SetPtr out = decode(input.get());
    EXPECT_EQ(out->id, 12u);
    // Proposal order (p0 before the higher-scored p1), not score order.
    EXPECT_EQ(resultValues(out.get()),
              (std::vector<float>{90, 80, 110, 120, 0.9f, 0, 92, 80, 112, 120, 0.95f, 1}));
    EXPECT_EQ(log.verbose, (std::vector<std::string>{
                               "[AnchorFreeYolo] Decoding 3 proposals, 2 classes.\n",
                               "[AnchorFreeYolo] 3 candidates above threshold.\n",
                               "[AnchorFreeYolo] 2 detections after NMS.\n"}));
    EXPECT_TRUE(log.warnings.empty());
}

TEST(AnchorFreeYolo, RoundTripsKnownBoxes) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> pos(0.0f, 600.0f), size(4.0f, 60.0f), score(0.3f, 1.0f);
    const int classes = 7;
    std::vector<Proposal> p;
    std::vector<float> expected;
    for (int i = 0; i < 40; ++i) {
        // One box per class and row of a grid: no two of a class overlap.
        const float x1 = static_cast<float>(i % 8) * 80.0f, y1 = static_cast<float>(i / 8) * 80.0f;
        const float w = size(rng), h = size(rng), s = score(rng);
        const int cls = i % classes;
        Proposal q{x1 + 0.5f * w, y1 + 0.5f * h, w, h, std::vector<float>(classes, 0.01f)};
        q.scores[cls] = s;
        p.push_back(q);
        expected.insert(expected.end(), {x1, y1, x1 + w, y1 + h, s, static_cast<float>(cls)});
    }
    SetPtr input = makeSet({channelMajor(p, classes)});
    const auto got = resultValues(decode(input.get()).get());
    ASSERT_EQ(got.size(), expected.size());
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_NEAR(got[k], expected[k], 1e-4f * std::max(1.0f, std::fabs(expected[k]))) << k;
    }
}

TEST(AnchorFreeYolo, ClassSearchTiesAndThreshold) {
    std::vector<float> tie(10, 0.1f);
    tie[3] = tie[7] = 0.8f;
    std::vector<float> atConf(10, 0.1f);
    atConf[2] = 0.25f;  // equal to conf: dropped (strictly above needed)
    SetPtr input = makeSet({channelMajor({{50, 50, 10, 10, tie}, {300, 300, 10, 10, atConf}}, 10)});
    const auto got = resultValues(decode(input.get()).get());
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[5], 3.0f);

    // The same tie, and a single winner, among many quiet proposals: the
    // first class still wins.
    std::vector<Proposal> sparse(600, {500, 500, 10, 10, std::vector<float>(10, 0.1f)});
    sparse[17] = {50, 50, 10, 10, tie};
    sparse[530] = {300, 300, 10, 10, atConf};
    sparse[530].scores[9] = 0.6f;
    const auto sparseGot = resultValues(decode(makeSet({channelMajor(sparse, 10)}).get()).get());
    ASSERT_EQ(sparseGot.size(), 12u);
    EXPECT_EQ(sparseGot[5], 3.0f);
    EXPECT_EQ(sparseGot[11], 9.0f);

    // Nothing above conf in a full-size output: empty with id 0 and no
    // "after NMS" line.
    SetPtr quiet = makeSet({floatTensor("output0", {1, 84, 8400}, std::vector<float>(84 * 8400, 0.25f))});
    LogCapture log;
    SetPtr out = decode(quiet.get());
    EXPECT_EQ(out->id, 0u);
    EXPECT_EQ(out->count, 0u);
    ASSERT_EQ(log.verbose.size(), 2u);
    EXPECT_EQ(log.verbose[1], "[AnchorFreeYolo] 0 candidates above threshold.\n");
}

TEST(AnchorFreeYolo, PicksTheFirstFloatTensorWithData) {
    const TensorDesc floats = channelMajor({{20, 20, 10, 10, {0.9f}}}, 1, "logits");
    TensorDesc bytes = floats;
    bytes.name = "output0";
    bytes.elementType = QZ_ELEMENT_UINT8;
    SetPtr input = makeSet({bytes, floats});
    EXPECT_EQ(resultValues(decode(input.get()).get()),
              (std::vector<float>{15, 15, 25, 25, 0.9f, 0}));
}

TEST(AnchorFreeYolo, ReadsOnlyTheFirstBatchEntry) {
    TensorDesc t = channelMajor({{20, 20, 10, 10, {0.9f}}, {60, 60, 10, 10, {0.1f}}}, 1);
    t.shape[0] = 2;
    // The second entry would add a detection at proposal 1.
    t.values.insert(t.values.end(), {20, 60, 20, 60, 10, 10, 10, 10, 0.1f, 0.9f});
    SetPtr input = makeSet({t});
    EXPECT_EQ(resultValues(decode(input.get()).get()).size(), 6u);
}

TEST(AnchorFreeYolo, OddValues) {
    // A NaN score never wins; a proposal whose best score is infinite is
    // skipped; NaN coordinates pass through without harming the suppression.
    SetPtr input = makeSet({channelMajor({{50, 50, 10, 10, {NAN, 0.5f}},
                                          {50, 50, 10, 10, {INFINITY, 0.1f}},
                                          {NAN, 50, 10, 10, {0.7f, 0.1f}}},
                                         2)});
    const auto got = resultValues(decode(input.get()).get());
    ASSERT_EQ(got.size(), 12u);
    EXPECT_EQ(got[4], 0.5f);
    EXPECT_EQ(got[5], 1.0f);
    EXPECT_TRUE(std::isnan(got[6]));
    EXPECT_EQ(got[10], 0.7f);

    // No proposals: nothing is searched, however many classes are claimed.
    SetPtr empty = makeSet({floatTensor("output0", {1, INT_MAX, 0}, {})});
    LogCapture log;
    EXPECT_EQ(decode(empty.get())->count, 0u);
    ASSERT_FALSE(log.verbose.empty());
    EXPECT_EQ(log.verbose[0], "[AnchorFreeYolo] Decoding 0 proposals, 2147483643 classes.\n");
    EXPECT_TRUE(log.warnings.empty());
}

TEST(AnchorFreeYolo, WarningTexts) {
    LogCapture log;
    SetPtr fewChannels = makeSet({floatTensor("x", {1, 4, 8400}, std::vector<float>(4 * 8400))});
    decode(fewChannels.get());
    SetPtr rank1 = makeSet({floatTensor("x", {10}, std::vector<float>(10))});
    decode(rank1.get());
    decode(nullptr);
    EXPECT_EQ(log.warnings,
              (std::vector<std::string>{
                  "Warning! [AnchorFreeYolo] Too few channels (4), need at least 5 (4 box + 1 "
                  "class).\n",
                  "Warning! [AnchorFreeYolo] Tensor rank 1 is too low.\n",
                  "Warning! [AnchorFreeYolo] No FLOAT tensor found in input.\n"}));
}

TEST(ClassSearchPlan, PiecesCoverTheProposalsAndSmallSearchesStayOnTheCaller) {
    const int32_t automaticHelpers = qzai::automaticSearchThreads(qzai::usableProcessorCount()) - 1;
    struct Case {
        int32_t n, classes, threads;
        int32_t pieceSize, pieces, helpers;
    };
    const Case cases[] = {
        {0, 80, 4, 0, 0, 0},
        {20, 80, 4, 20, 1, 0},          // one piece: nothing to share
        {33600, 80, 4, 3280, 11, 3},    // whole blocks of 16 proposals
        {8400, 80, 1, 3280, 3, 0},
        {8400, 80, 8, 3280, 3, 2},      // never more helpers than pieces - 1
        {8400, 80, 0, 3280, 3, 0},      // automatic: below 2^21 scores, alone
        {26214, 80, 0, 3280, 8, 0},
    };
    for (const Case& c : cases) {
        const qzai::ClassSearchPlan plan = qzai::planClassSearch(c.n, c.classes, c.threads);
        EXPECT_EQ(plan.pieceSize, c.pieceSize) << c.n << " x " << c.classes;
        EXPECT_EQ(plan.pieces, c.pieces) << c.n << " x " << c.classes;
        EXPECT_EQ(plan.helpers, c.helpers) << c.n << " x " << c.classes;
    }
    // From 2^21 scores the automatic count follows the usable processors:
    // no helper on two, where one does not pay; at most four threads.
    EXPECT_EQ(qzai::planClassSearch(26215, 80, 0).helpers, automaticHelpers);
    const std::pair<int32_t, int32_t> threadsOnProcessors[] = {{1, 1}, {2, 1}, {3, 3}, {4, 4}, {8, 4}};
    for (const auto& [processors, threads] : threadsOnProcessors)
        EXPECT_EQ(qzai::automaticSearchThreads(processors), threads) << processors << " processors";
}

// Clustered proposals over 80 classes, about 1 in 20 above conf.
SetPtr realisticOutput(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(0.0f, 640.0f), size(8.0f, 120.0f), low(0.0f, 0.2f),
        high(0.3f, 1.0f);
    std::vector<float> v(static_cast<size_t>(84) * n);
    for (int i = 0; i < n; ++i) {
        v[i] = pos(rng);
        v[n + i] = pos(rng);
        v[2 * n + i] = size(rng);
        v[3 * n + i] = size(rng);
        for (int c = 0; c < 80; ++c) v[static_cast<size_t>(4 + c) * n + i] = low(rng);
        if (rng() % 20 == 0) v[static_cast<size_t>(4 + rng() % 80) * n + i] = high(rng);
    }
    return makeSet({floatTensor("output0", {1, 84, n}, std::move(v))});
}

qzai::ThreadStarter plainStarter() {
    return [](std::function<void()> work) { return std::thread(std::move(work)); };
}

TEST(AnchorFreeYolo, ResultIsTheSameForAnyThreadCount) {
    for (const int n : {2047, 8400, 13107, 13108, 52429}) {
        SetPtr input = realisticOutput(n, static_cast<unsigned>(n));
        SetPtr single(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 1, plainStarter()));
        ASSERT_GT(single->count, 0u);
        const auto expected = resultBytes(single.get());
        for (const int threads : {2, 3, 4, 0}) {
            SetPtr out(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, threads,
                                                             plainStarter()));
            EXPECT_EQ(resultBytes(out.get()), expected) << "n " << n << " threads " << threads;
        }
        // The process-wide helpers, twice: the second call reuses them.
        for (int call = 0; call < 2; ++call) {
            SetPtr out(qzai::decodeAnchorFreeYolo(input.get(), 0.25f, 0.45f));
            EXPECT_EQ(resultBytes(out.get()), expected) << "n " << n << " shared helpers";
        }
    }
}

TEST(AnchorFreeYolo, ThreadStartFailureFallsBackToTheCallingThread) {
    SetPtr input = realisticOutput(8400, 3);
    SetPtr single(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 1, plainStarter()));
    int starts = 0;
    auto failSecond = [&starts](std::function<void()> work) {
        if (++starts == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(work));
    };
    LogCapture log;
    SetPtr out(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 4, failSecond));
    EXPECT_EQ(resultBytes(out.get()), resultBytes(single.get()));
    EXPECT_EQ(starts, 2);  // no start is tried after a failure
    ASSERT_EQ(log.warnings.size(), 1u);
    EXPECT_EQ(log.warnings[0].rfind("Warning! [AnchorFreeYolo] Could not start", 0), 0u);

    auto failAll = [](std::function<void()>) -> std::thread { throw std::runtime_error("no threads"); };
    SetPtr inline4(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 4, failAll));
    EXPECT_EQ(resultBytes(inline4.get()), resultBytes(single.get()));
}

}  // namespace
