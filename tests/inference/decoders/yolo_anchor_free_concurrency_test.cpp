// Several decodes at once, each sharing its class search with helper threads
// (its own or the process-wide ones), give the single-threaded bytes; several
// callers and stop() on one helper pool (run under ThreadSanitizer in CI).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "decoder_test_util.h"
#include "inference/decoders/anchor_free_yolo.h"
#include "inference/decoders/decoders.h"

using namespace decoder_test;

namespace {

TEST(AnchorFreeYoloConcurrency, ConcurrentThreadedDecodesMatchTheSingleThreadedResult) {
    const int n = 220000;  // 2.2 million scores: the process-wide helpers join
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> pos(0.0f, 640.0f), score(0.0f, 0.3f);
    std::vector<float> v(static_cast<size_t>(14) * n);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < 4; ++k) v[static_cast<size_t>(k) * n + i] = pos(rng) / (k < 2 ? 1 : 8);
        for (int c = 0; c < 10; ++c) v[static_cast<size_t>(4 + c) * n + i] = score(rng);
    }
    SetPtr input = makeSet({floatTensor("output0", {1, 14, n}, std::move(v))});
    const qzai::ThreadStarter start = [](std::function<void()> work) {
        return std::thread(std::move(work));
    };
    SetPtr single(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 1, start));
    const auto expected = resultBytes(single.get());
    ASSERT_FALSE(expected.empty());

    std::vector<std::vector<unsigned char>> results(8);
    std::vector<std::thread> callers;
    for (size_t t = 0; t < results.size(); t += 2) {
        callers.emplace_back([&, t] {
            SetPtr out(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 4, start));
            results[t] = resultBytes(out.get());
            SetPtr shared(qzai::decodeAnchorFreeYolo(input.get(), 0.25f, 0.45f));
            results[t + 1] = resultBytes(shared.get());
        });
    }
    for (std::thread& c : callers) c.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace

namespace {

TEST(SearchHelpersConcurrency, CallersShareOnePoolAndStopMayComeAtAnyTime) {
    qzai::SearchHelpers helpers(3, [](std::function<void()> work) { return std::thread(std::move(work)); });
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int job = 0; job < 50; ++job) {
                std::vector<std::atomic<int>> ran(32);
                helpers.run(32, 3, [&](int32_t p) { ran[static_cast<size_t>(p)]++; });
                for (const auto& r : ran) wrong += r.load() != 1;
                if (c == 0 && job % 10 == 0) helpers.stop();
            }
        });
    }
    for (std::thread& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
