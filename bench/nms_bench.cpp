// The shared non-maximum suppression against the textbook greedy walk and,
// when built with QZ_BENCH_OPENCV, against cv::dnn::NMSBoxes, all on the same
// candidates: independent random boxes (jitter 0), loose clusters (40%) and
// tight clusters (10%). Each benchmark first checks that its kept set equals
// ours.
//
// BM_Nms_AgainstBaselines is the honest comparison (paired_timing.h):
// ratio_greedy, and ratio_opencv_per_class, NMSBoxes called once per class
// as a user with per-class suppression would (bucketing included). The older
// BM_NmsOpenCv, one NMSBoxes call over all classes with boxes shifted by
// class, is the weaker baseline (its ratio_opencv_all_classes_shifted is
// reported beside).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "paired_timing.h"

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

// The same detections, in one order (kept sets are compared as sets).
std::vector<Detection> sorted(std::vector<Detection> d) {
    std::sort(d.begin(), d.end(), [](const Detection& a, const Detection& b) {
        return std::tie(a.score, a.x1, a.y1, a.x2, a.y2, a.classId) <
               std::tie(b.score, b.x1, b.y1, b.x2, b.y2, b.classId);
    });
    return d;
}

#ifdef QZ_BENCH_WITH_OPENCV
// NMSBoxes once per class over the candidates bucketed by class.
struct PerClassOpenCv {
    std::vector<std::vector<cv::Rect2d>> boxes;
    std::vector<std::vector<float>> scores;
    std::vector<std::vector<int>> origin;
    std::vector<int> indices, kept;
    explicit PerClassOpenCv(int classes) : boxes(classes), scores(classes), origin(classes) {}
    const std::vector<int>& run(const std::vector<Detection>& c) {
        for (size_t k = 0; k < boxes.size(); ++k) boxes[k].clear(), scores[k].clear(), origin[k].clear();
        for (size_t i = 0; i < c.size(); ++i) {
            const Detection& d = c[i];
            boxes[d.classId].emplace_back(d.x1, d.y1, d.x2 - d.x1, d.y2 - d.y1);
            scores[d.classId].push_back(d.score);
            origin[d.classId].push_back(static_cast<int>(i));
        }
        kept.clear();
        for (size_t k = 0; k < boxes.size(); ++k) {
            if (boxes[k].empty()) continue;
            cv::dnn::NMSBoxes(boxes[k], scores[k], 0.0f, kIou, indices);
            for (const int i : indices) kept.push_back(origin[k][static_cast<size_t>(i)]);
        }
        return kept;
    }
};
#endif

void BM_Nms_AgainstBaselines(benchmark::State& state) {
    const auto c = candidatesFor(state);
    const auto expected = sorted(qzai::applyNonMaximumSuppression(c, kIou, false));
    std::vector<bench_pairs::Baseline> baselines;
    if (!sameDetections(sorted(pick(c, decoder_bench::referenceGreedyNms(c, kIou, false))), expected)) {
        state.SkipWithError("greedy kept set differs");
        return;
    }
    baselines.push_back({"greedy", [&] {
                             auto kept = decoder_bench::referenceGreedyNms(c, kIou, false);
                             benchmark::DoNotOptimize(kept.data());
                         }});
#ifdef QZ_BENCH_WITH_OPENCV
    PerClassOpenCv perClass(static_cast<int>(state.range(1)));
    if (!sameDetections(sorted(pick(c, perClass.run(c))), expected)) {
        state.SkipWithError("OpenCV per-class kept set differs");
        return;
    }
    baselines.push_back({"opencv_per_class", [&] { benchmark::DoNotOptimize(perClass.run(c).data()); }});
    std::vector<cv::Rect2d> shifted;
    std::vector<float> scores;
    for (const Detection& d : c) {
        const double shift = static_cast<double>(d.classId) * 10000.0;
        shifted.emplace_back(d.x1 + shift, d.y1 + shift, d.x2 - d.x1, d.y2 - d.y1);
        scores.push_back(d.score);
    }
    if (!sameDetections(sorted(pick(c, openCvNms(shifted, scores))), expected)) {
        state.SkipWithError("OpenCV all-classes kept set differs");
        return;
    }
    baselines.push_back({"opencv_all_classes_shifted", [&] {
                             auto kept = openCvNms(shifted, scores);
                             benchmark::DoNotOptimize(kept.data());
                         }});
#endif
    bench_pairs::timePaired(
        state,
        [&] {
            auto out = qzai::applyNonMaximumSuppression(c, kIou, false);
            benchmark::DoNotOptimize(out.data());
        },
        baselines);
}

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
BENCHMARK(BM_Nms_AgainstBaselines)->Apply(nmsArgs)->UseManualTime();
BENCHMARK(BM_NmsReferenceGreedy)->Apply(nmsArgs);
#ifdef QZ_BENCH_WITH_OPENCV
BENCHMARK(BM_NmsOpenCv)->Apply(nmsArgs);
#endif
