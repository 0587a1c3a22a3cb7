// YOLO decoders end to end through runDetectionPostprocessor (result built
// and freed), on realistic outputs: about 20 objects with about 25
// overlapping proposals each, background scores below conf.
//
// AnchorFreeYolo runs with one search thread and with the automatic count,
// against an in-run reference: a plain decode (transpose, per-proposal best
// class, greedy per-class suppression); with QZ_BENCH_OPENCV the reference is
// the usual OpenCV decode (transpose, cv::minMaxLoc per row, NMSBoxes with
// class offsets). Each reference first checks it finds the same detections.
//
// BM_AnchorFreeYolo_AgainstBaselines is the headline: the automatic thread
// count, the path the product runs, against ratio_one_thread_cold (our
// decoder on one thread), ratio_plain_cold (the plain decode) and, with
// OpenCV, ratio_opencv_max_cold (the strong baseline: cv::max once per class
// row into each proposal's best score, NMSBoxes once per class),
// ratio_opencv_reduce_cold (the same with one cv::reduce over the class
// rows) and ratio_opencv_minmaxloc_cold (the weaker tutorial decode:
// transpose, minMaxLoc per proposal). Every path meets a cold input, and
// the order of the paths is shuffled (paired_timing.h, timeInStates).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>

#include "paired_timing.h"

#include "inference/tensor_utils.h"
#include "decoder_bench_data.h"
#include "inference/decoders/anchor_free_yolo.h"
#include "inference/decoders/decoders.h"

#ifdef QZ_BENCH_WITH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#endif

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using decoder_bench::Detection;

namespace {

constexpr float kConf = 0.25f;
constexpr float kIou = 0.45f;

struct OwnedSet {
    TensorSet set{};
    Tensor tensor{};
    std::vector<int32_t> shape;
    std::vector<float> data;
    OwnedSet(std::vector<int32_t> s, std::vector<float> d) : shape(std::move(s)), data(std::move(d)) {
        tensor.name = const_cast<char*>("output0");
        tensor.elementType = QZ_ELEMENT_FLOAT32;
        tensor.rank = static_cast<uint32_t>(shape.size());
        tensor.shape = shape.data();
        tensor.byteSize = data.size() * sizeof(float);
        tensor.data = data.data();
        set.id = 1;
        set.count = 1;
        set.tensors = &tensor;
    }
};

void freeResult(TensorSet* set) {
    qzai::freeTensorSet(set);
    std::free(set);
}

// Proposal i's values at index(k, i) for channel k; objects from the shared
// generator, the rest background.
template <typename Index>
void fillYolo(int n, int classes, bool objectness, unsigned seed, Index index, std::vector<float>& v) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(0.0f, 640.0f), size(8.0f, 64.0f), low(0.0f, 0.2f);
    const auto objects = decoder_bench::clusteredCandidates(500, classes, 0.1f, seed);
    const int first = objectness ? 5 : 4;
    for (int i = 0; i < n; ++i) {
        v[index(0, i)] = pos(rng);
        v[index(1, i)] = pos(rng);
        v[index(2, i)] = size(rng);
        v[index(3, i)] = size(rng);
        if (objectness) v[index(4, i)] = 1.0f;
        for (int c = 0; c < classes; ++c) v[index(first + c, i)] = low(rng);
    }
    for (size_t k = 0; k < objects.size(); ++k) {
        const int i = static_cast<int>((k * 7919) % n);
        const Detection& d = objects[k];
        v[index(0, i)] = 0.5f * (d.x1 + d.x2);
        v[index(1, i)] = 0.5f * (d.y1 + d.y2);
        v[index(2, i)] = d.x2 - d.x1;
        v[index(3, i)] = d.y2 - d.y1;
        v[index(first + d.classId, i)] = d.score;
    }
}

OwnedSet anchorFreeOutput(int n) {
    std::vector<float> v(static_cast<size_t>(84) * n);
    fillYolo(n, 80, false, 99, [n](int k, int i) { return static_cast<size_t>(k) * n + i; }, v);
    return OwnedSet({1, 84, n}, std::move(v));
}

std::vector<float> rowsOf(const TensorSet* set) {
    if (!set || set->count == 0) return {};
    const float* d = static_cast<const float*>(set->tensors[0].data);
    return std::vector<float>(d, d + set->tensors[0].byteSize / sizeof(float));
}

// The plain decode: best class per proposal, candidates, greedy per class,
// rows in proposal order.
std::vector<float> referenceAnchorFree(const OwnedSet& s) {
    const int channels = s.shape[1], n = s.shape[2];
    const float* v = s.data.data();
    std::vector<Detection> candidates;
    std::vector<int> proposal;
    for (int i = 0; i < n; ++i) {
        float best = kConf;
        int cls = -1;
        for (int c = 0; c < channels - 4; ++c) {
            const float score = v[static_cast<size_t>(4 + c) * n + i];
            if (score > best) {
                best = score;
                cls = c;
            }
        }
        if (cls < 0) continue;
        const float cx = v[i], cy = v[n + i], w = v[2 * n + i], h = v[3 * n + i];
        candidates.push_back({cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, best, cls});
    }
    auto kept = decoder_bench::referenceGreedyNms(candidates, kIou, false);
    std::sort(kept.begin(), kept.end());
    std::vector<float> rows;
    for (const int k : kept) {
        const Detection& d = candidates[k];
        rows.insert(rows.end(), {d.x1, d.y1, d.x2, d.y2, d.score, static_cast<float>(d.classId)});
    }
    return rows;
}

#ifdef QZ_BENCH_WITH_OPENCV
// The tutorial class search: a full transpose, then cv::minMaxLoc per
// proposal (it reads the scores across the rows); candidates above conf in
// proposal order.
std::vector<Detection> openCvMinMaxLocCandidates(const OwnedSet& s) {
    const int channels = s.shape[1], n = s.shape[2];
    const cv::Mat raw(channels, n, CV_32F, const_cast<float*>(s.data.data()));
    const cv::Mat rows = raw.t();
    std::vector<Detection> found;
    for (int i = 0; i < n; ++i) {
        const float* r = rows.ptr<float>(i);
        const cv::Mat classScores(1, channels - 4, CV_32F, const_cast<float*>(r + 4));
        double best = 0.0;
        cv::Point at;
        cv::minMaxLoc(classScores, nullptr, &best, nullptr, &at);
        if (!(static_cast<float>(best) > kConf)) continue;
        found.push_back({r[0] - 0.5f * r[2], r[1] - 0.5f * r[3], r[0] + 0.5f * r[2], r[1] + 0.5f * r[3],
                         static_cast<float>(best), at.x});
    }
    return found;
}

// The tutorial search, then one NMSBoxes over all classes with the boxes
// shifted apart by class.
std::vector<float> openCvAnchorFree(const OwnedSet& s) {
    const std::vector<Detection> found = openCvMinMaxLocCandidates(s);
    std::vector<cv::Rect2d> boxes;
    std::vector<float> scores;
    for (const Detection& d : found) {
        const double shift = d.classId * 10000.0;
        boxes.emplace_back(d.x1 + shift, d.y1 + shift, d.x2 - d.x1, d.y2 - d.y1);
        scores.push_back(d.score);
    }
    std::vector<int> kept;
    cv::dnn::NMSBoxes(boxes, scores, 0.0f, kIou, kept);
    std::sort(kept.begin(), kept.end());
    std::vector<float> out;
    for (const int k : kept) {
        const Detection& d = found[k];
        out.insert(out.end(), {d.x1, d.y1, d.x2, d.y2, d.score, static_cast<float>(d.classId)});
    }
    return out;
}
#endif

#ifdef QZ_BENCH_WITH_OPENCV
// Per-class suppression of candidates found by a class search, as a user of
// OpenCV would write it; rows in proposal order.
std::vector<float> openCvSuppressPerClass(const std::vector<Detection>& found, int classes) {
    std::vector<std::vector<cv::Rect2d>> boxes(static_cast<size_t>(classes));
    std::vector<std::vector<float>> scores(boxes.size());
    std::vector<std::vector<int>> origin(boxes.size());
    for (size_t k = 0; k < found.size(); ++k) {
        const Detection& d = found[k];
        const auto c = static_cast<size_t>(d.classId);
        boxes[c].emplace_back(d.x1, d.y1, d.x2 - d.x1, d.y2 - d.y1);
        scores[c].push_back(d.score);
        origin[c].push_back(static_cast<int>(k));
    }
    std::vector<int> kept, indices;
    for (size_t c = 0; c < boxes.size(); ++c) {
        if (boxes[c].empty()) continue;
        cv::dnn::NMSBoxes(boxes[c], scores[c], 0.0f, kIou, indices);
        for (const int i : indices) kept.push_back(origin[c][static_cast<size_t>(i)]);
    }
    std::sort(kept.begin(), kept.end());
    std::vector<float> out;
    for (const int k : kept) {
        const Detection& d = found[static_cast<size_t>(k)];
        out.insert(out.end(), {d.x1, d.y1, d.x2, d.y2, d.score, static_cast<float>(d.classId)});
    }
    return out;
}

// The candidates of a search that left each proposal's best class score in
// b: only proposals above conf look up which class gave it (the first row
// equal to it, as a strict "above" search would pick); then per-class
// NMSBoxes.
std::vector<float> openCvSuppressFromBest(const OwnedSet& s, const float* b) {
    const int channels = s.shape[1], n = s.shape[2];
    const float* v = s.data.data();
    std::vector<Detection> found;
    for (int i = 0; i < n; ++i) {
        if (!(b[i] > kConf)) continue;
        int cls = 0;
        while (v[static_cast<size_t>(4 + cls) * n + i] != b[i]) ++cls;
        const float cx = v[i], cy = v[n + i], w = v[2 * n + i], h = v[3 * n + i];
        found.push_back({cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, b[i], cls});
    }
    return openCvSuppressPerClass(found, channels - 4);
}

// One cv::reduce(REDUCE_MAX) streams the class rows into each proposal's
// best score (no transpose).
std::vector<float> openCvAnchorFreeReduce(const OwnedSet& s) {
    const int channels = s.shape[1], n = s.shape[2];
    const cv::Mat raw(channels, n, CV_32F, const_cast<float*>(s.data.data()));
    cv::Mat best;
    cv::reduce(raw.rowRange(4, channels), best, 0, cv::REDUCE_MAX, CV_32F);
    return openCvSuppressFromBest(s, best.ptr<float>(0));
}

// The strong OpenCV decode: cv::max once per class row, each row one long
// stream into the running best scores.
std::vector<float> openCvAnchorFreeMax(const OwnedSet& s) {
    const int channels = s.shape[1], n = s.shape[2];
    const cv::Mat raw(channels, n, CV_32F, const_cast<float*>(s.data.data()));
    cv::Mat best = raw.row(4).clone();
    for (int c = 5; c < channels; ++c) cv::max(best, raw.row(c), best);
    return openCvSuppressFromBest(s, best.ptr<float>(0));
}

// The tutorial decode with per-class suppression (weaker than the reduce).
std::vector<float> openCvAnchorFreePerClass(const OwnedSet& s) {
    return openCvSuppressPerClass(openCvMinMaxLocCandidates(s), s.shape[1] - 4);
}
#endif

const qzai::ThreadStarter kStart = [](std::function<void()> work) {
    return std::thread(std::move(work));
};

// Argument: proposals. Second argument: search threads (0: automatic).
void BM_AnchorFreeYolo(benchmark::State& state) {
    const OwnedSet input = anchorFreeOutput(static_cast<int>(state.range(0)));
    const int threads = static_cast<int>(state.range(1));
    size_t rows = 0;
    for (auto _ : state) {
        TensorSet* out = threads == 0
                             ? qzai::runDetectionPostprocessor(0, &input.set, kConf, kIou, 640, 640)
                             : qzai::decodeAnchorFreeYoloWithThreads(&input.set, kConf, kIou,
                                                                     threads, kStart);
        rows = out->count ? static_cast<size_t>(out->tensors[0].shape[0]) : 0;
        freeResult(out);
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_AnchorFreeYolo)
    ->ArgNames({"n", "threads"})
    ->Args({52428, 1})->Args({52428, 0})->Args({52429, 1})->Args({52429, 0})
    ->Args({8400, 1})->Args({8400, 0})->Args({33600, 1})->Args({33600, 0})
    ->Unit(benchmark::kMicrosecond);

void BM_AnchorFreeYolo_AgainstBaselines(benchmark::State& state) {
    const OwnedSet input = anchorFreeOutput(static_cast<int>(state.range(0)));
    TensorSet* ours = qzai::runDetectionPostprocessor(0, &input.set, kConf, kIou, 640, 640);
    const std::vector<float> expected = rowsOf(ours);
    freeResult(ours);
    TensorSet* single = qzai::decodeAnchorFreeYoloWithThreads(&input.set, kConf, kIou, 1, kStart);
    const bool singleSame = rowsOf(single) == expected;
    freeResult(single);
    if (!singleSame || referenceAnchorFree(input) != expected) {
        state.SkipWithError("detections differ");
        return;
    }
    // Every path meets the output as a runtime hands it over: not in cache.
    const auto evictInput = [&] {
        bench_pairs::evictFromCache(input.data.data(), input.data.size() * sizeof(float));
    };
    std::vector<bench_pairs::Path> baselines = {
        {"one_thread",
         [&] { freeResult(qzai::decodeAnchorFreeYoloWithThreads(&input.set, kConf, kIou, 1, kStart)); },
         evictInput},
        {"plain", [&] { benchmark::DoNotOptimize(referenceAnchorFree(input).data()); }, evictInput},
    };
#ifdef QZ_BENCH_WITH_OPENCV
    if (openCvAnchorFreeMax(input) != expected || openCvAnchorFreeReduce(input) != expected ||
        openCvAnchorFreePerClass(input) != expected) {
        state.SkipWithError("OpenCV detections differ");
        return;
    }
    baselines.push_back(
        {"opencv_max", [&] { benchmark::DoNotOptimize(openCvAnchorFreeMax(input).data()); }, evictInput});
    baselines.push_back(
        {"opencv_reduce", [&] { benchmark::DoNotOptimize(openCvAnchorFreeReduce(input).data()); }, evictInput});
    baselines.push_back({"opencv_minmaxloc",
                         [&] { benchmark::DoNotOptimize(openCvAnchorFreePerClass(input).data()); }, evictInput});
#endif
    bench_pairs::timeInStates(
        state,
        {"ours", [&] { freeResult(qzai::runDetectionPostprocessor(0, &input.set, kConf, kIou, 640, 640)); },
         evictInput},
        baselines, {bench_pairs::CacheState::Cold});
}
BENCHMARK(BM_AnchorFreeYolo_AgainstBaselines)
    ->ArgName("n")
    ->Arg(8400)
    ->Arg(16800)
    ->Arg(33600)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Times Reference on `input` after checking that it finds the rows our
// decoder of `architecture` finds.
template <std::vector<float> (*Reference)(const OwnedSet&)>
void referenceBenchmark(benchmark::State& state, const OwnedSet& input, int32_t architecture) {
    TensorSet* ours = qzai::runDetectionPostprocessor(architecture, &input.set, kConf, kIou, 640, 640);
    const bool same = rowsOf(ours) == Reference(input);
    freeResult(ours);
    if (!same) {
        state.SkipWithError("detections differ");
        return;
    }
    for (auto _ : state) {
        auto rows = Reference(input);
        benchmark::DoNotOptimize(rows.data());
    }
}

void BM_AnchorFreeYoloReference(benchmark::State& state) {
    referenceBenchmark<referenceAnchorFree>(state, anchorFreeOutput(static_cast<int>(state.range(0))), 0);
}
BENCHMARK(BM_AnchorFreeYoloReference)->ArgName("n")->Arg(8400)->Arg(33600)->Unit(benchmark::kMicrosecond);

#ifdef QZ_BENCH_WITH_OPENCV
void BM_AnchorFreeYoloOpenCv(benchmark::State& state) {
    referenceBenchmark<openCvAnchorFree>(state, anchorFreeOutput(static_cast<int>(state.range(0))), 0);
}
BENCHMARK(BM_AnchorFreeYoloOpenCv)->ArgName("n")->Arg(8400)->Arg(33600)->Unit(benchmark::kMicrosecond);
#endif

// [1, 25200, 85] with objectness; and the worst case where every one of
// 8400 one-class proposals passes (conf 0).
OwnedSet anchorBasedOutput() {
    const int n = 25200, r = 85;
    std::vector<float> v(static_cast<size_t>(n) * r);
    fillYolo(n, 80, true, 7, [r](int k, int i) { return static_cast<size_t>(i) * r + k; }, v);
    return OwnedSet({1, n, r}, std::move(v));
}

void BM_AnchorBasedYolo(benchmark::State& state) {
    const OwnedSet input = anchorBasedOutput();
    for (auto _ : state) freeResult(qzai::runDetectionPostprocessor(1, &input.set, kConf, kIou, 640, 640));
}
BENCHMARK(BM_AnchorBasedYolo)->Unit(benchmark::kMicrosecond);

// The plain row loop (every product compared in class order), then the
// same greedy suppression; rows by descending score.
std::vector<float> referenceAnchorBased(const OwnedSet& s) {
    const int n = s.shape[1], r = s.shape[2];
    std::vector<Detection> candidates;
    for (int i = 0; i < n; ++i) {
        const float* row = s.data.data() + static_cast<size_t>(i) * r;
        float best = 0.0f;
        int cls = 0;
        for (int c = 0; c < r - 5; ++c) {
            const float product = row[4] * row[5 + c];
            if (product > best) {
                best = product;
                cls = c;
            }
        }
        if (!(best >= kConf)) continue;
        candidates.push_back({row[0] - 0.5f * row[2], row[1] - 0.5f * row[3], row[0] + 0.5f * row[2],
                              row[1] + 0.5f * row[3], best, cls});
    }
    std::vector<float> rows;
    for (const int k : decoder_bench::referenceGreedyNms(candidates, kIou, false)) {
        const Detection& d = candidates[k];
        rows.insert(rows.end(), {d.x1, d.y1, d.x2, d.y2, d.score, static_cast<float>(d.classId)});
    }
    return rows;
}

void BM_AnchorBasedYoloReference(benchmark::State& state) {
    referenceBenchmark<referenceAnchorBased>(state, anchorBasedOutput(), 1);
}
BENCHMARK(BM_AnchorBasedYoloReference)->Unit(benchmark::kMicrosecond);

void BM_AnchorBasedYoloEverythingPasses(benchmark::State& state) {
    const int n = 8400, r = 6;
    std::vector<float> v(static_cast<size_t>(n) * r);
    fillYolo(n, 1, true, 8, [r](int k, int i) { return static_cast<size_t>(i) * r + k; }, v);
    const OwnedSet input({1, n, r}, std::move(v));
    size_t rows = 0;
    for (auto _ : state) {
        TensorSet* out = qzai::runDetectionPostprocessor(1, &input.set, 0.0f, kIou, 640, 640);
        rows = out->count ? static_cast<size_t>(out->tensors[0].shape[0]) : 0;
        freeResult(out);
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_AnchorBasedYoloEverythingPasses)->Unit(benchmark::kMillisecond);

void BM_Yolo26(benchmark::State& state) {
    std::vector<float> v(300 * 6);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (float& x : v) x = u(rng);
    const OwnedSet input({1, 300, 6}, std::move(v));
    for (auto _ : state) freeResult(qzai::runDetectionPostprocessor(2, &input.set, kConf, kIou, 640, 640));
}
BENCHMARK(BM_Yolo26)->Unit(benchmark::kMicrosecond);

}  // namespace
