// The shared non-maximum suppression against the textbook greedy walk and,
// when built with QZ_BENCH_OPENCV, against cv::dnn::NMSBoxes (per class by
// shifting boxes by class x 10000), all on the same candidates. Each
// benchmark first checks that its kept set equals ours.
#include <benchmark/benchmark.h>

#include <cstring>

#include "decoder_bench_data.h"
#include "inference/decoders/nms.h"

#ifdef QZ_BENCH_WITH_OPENCV
#include <opencv2/dnn.hpp>
#endif

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using decoder_bench::Detection;

namespace {

constexpr float kIou = 0.45f;

// Arguments: candidates, classes, jitter in percent (0: independent boxes).
std::vector<Detection> candidatesFor(const benchmark::State& state) {
    return decoder_bench::clusteredCandidates(static_cast<int>(state.range(0)),
                                              static_cast<int>(state.range(1)),
                                              static_cast<float>(state.range(2)) / 100.0f, 1234);
}

std::vector<Detection> pick(const std::vector<Detection>& c, const std::vector<int>& indices) {
    std::vector<Detection> out;
    for (const int i : indices) out.push_back(c[i]);
    return out;
}

bool sameDetections(const std::vector<Detection>& a, const std::vector<Detection>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Detection)) == 0);
}

void BM_Nms(benchmark::State& state) {
    const auto c = candidatesFor(state);
    size_t kept = 0;
    for (auto _ : state) {
        auto out = qzai::applyNonMaximumSuppression(c, kIou, false);
        kept = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["kept"] = static_cast<double>(kept);
}

void BM_NmsReferenceGreedy(benchmark::State& state) {
    const auto c = candidatesFor(state);
    if (!sameDetections(pick(c, decoder_bench::referenceGreedyNms(c, kIou, false)),
                        qzai::applyNonMaximumSuppression(c, kIou, false))) {
        state.SkipWithError("kept sets differ");
        return;
    }
    for (auto _ : state) {
        auto kept = decoder_bench::referenceGreedyNms(c, kIou, false);
        benchmark::DoNotOptimize(kept.data());
    }
}

#ifdef QZ_BENCH_WITH_OPENCV
std::vector<int> openCvNms(const std::vector<cv::Rect2d>& boxes, const std::vector<float>& scores) {
    std::vector<int> indices;
    // OpenCV filters with score > threshold: stay below every score.
    cv::dnn::NMSBoxes(boxes, scores, 0.0f, kIou, indices);
    return indices;
}

void BM_NmsOpenCv(benchmark::State& state) {
    const auto c = candidatesFor(state);
    std::vector<cv::Rect2d> boxes;
    std::vector<float> scores;
    for (const Detection& d : c) {
        const double shift = static_cast<double>(d.classId) * 10000.0;
        boxes.emplace_back(d.x1 + shift, d.y1 + shift, d.x2 - d.x1, d.y2 - d.y1);
        scores.push_back(d.score);
    }
    if (!sameDetections(pick(c, openCvNms(boxes, scores)),
                        qzai::applyNonMaximumSuppression(c, kIou, false))) {
        state.SkipWithError("kept sets differ");
        return;
    }
    for (auto _ : state) {
        auto kept = openCvNms(boxes, scores);
        benchmark::DoNotOptimize(kept.data());
    }
}
#endif

void nmsArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"n", "classes", "jitter%"});
    for (const int n : {100, 1000, 8400}) {
        for (const int classes : {1, 80}) {
            for (const int jitter : {0, 10, 40}) b->Args({n, classes, jitter});
        }
    }
    b->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BM_Nms)->Apply(nmsArgs);
BENCHMARK(BM_NmsReferenceGreedy)->Apply(nmsArgs);
#ifdef QZ_BENCH_WITH_OPENCV
BENCHMARK(BM_NmsOpenCv)->Apply(nmsArgs);
#endif
