// Several decodes at once, each splitting its class search over threads,
// give the single-threaded bytes (run under ThreadSanitizer in CI).
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "decoder_test_util.h"
#include "inference/decoders/anchor_free_yolo.h"

using namespace decoder_test;

namespace {

TEST(AnchorFreeYoloConcurrency, ConcurrentThreadedDecodesMatchTheSingleThreadedResult) {
    const int n = 4096;
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

    std::vector<std::vector<unsigned char>> results(4);
    std::vector<std::thread> callers;
    for (size_t t = 0; t < results.size(); ++t) {
        callers.emplace_back([&, t] {
            SetPtr out(qzai::decodeAnchorFreeYoloWithThreads(input.get(), 0.25f, 0.45f, 4, start));
            results[t] = resultBytes(out.get());
        });
    }
    for (std::thread& c : callers) c.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
