// The box-and-score, DETR and distribution decoders through
// runDetectionPostprocessor (result built and freed), each on its typical
// output shape with realistic content: about 20 objects with about 25
// overlapping proposals each (the shared generator), background below conf.
//
// Each call is one repetition, so the reported median and p99 are those of
// single decodes. References run alongside: AnchorFreeYolo (one search
// thread) on the same proposals and classes, and a plain expf loop over the
// RT-DETR logits for its softmax.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "inference/tensor_utils.h"
#include "decoder_bench_data.h"
#include "inference/decoders/anchor_free_yolo.h"
#include "inference/decoders/decoders.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using decoder_bench::Detection;

namespace {

constexpr float kConf = 0.25f;
constexpr float kIou = 0.45f;
constexpr int kClasses = 80;

// A set over owned tensors; names and shapes stay alive with it.
struct Outputs {
    std::vector<std::string> names;
    std::vector<std::vector<int32_t>> shapes;
    std::vector<std::vector<float>> data;
    std::vector<Tensor> tensors;
    TensorSet set{};

    void add(std::string name, std::vector<int32_t> shape, std::vector<float> values) {
        names.push_back(std::move(name));
        shapes.push_back(std::move(shape));
        data.push_back(std::move(values));
    }
    const TensorSet* finish() {
        tensors.resize(data.size());
        for (size_t i = 0; i < data.size(); ++i) {
            Tensor& t = tensors[i];
            t.name = names[i].data();
            t.elementType = QZ_ELEMENT_FLOAT32;
            t.rank = static_cast<uint32_t>(shapes[i].size());
            t.shape = shapes[i].data();
            t.byteSize = data[i].size() * sizeof(float);
            t.data = data[i].data();
        }
        set = {1, static_cast<uint32_t>(tensors.size()), tensors.data()};
        return &set;
    }
};

std::vector<Detection> objects(int classes) { return decoder_bench::clusteredCandidates(500, classes, 0.1f, 42); }

std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

// Proposal slot of candidate k among n, spread over the output.
size_t slot(size_t k, int n) { return (k * 7919) % static_cast<size_t>(n); }

float logit(float p) { return std::log(p / (1.0f - p)); }

// Distribution logits whose mean bin is d (two neighbouring bins).
void putDistribution(float* bins, size_t step, int count, float d) {
    d = std::clamp(d, 0.0f, static_cast<float>(count - 1) - 1e-3f);
    for (int j = 0; j < count; ++j) bins[j * step] = -8.0f;
    const int j = static_cast<int>(d);
    const float f = d - static_cast<float>(j);
    bins[j * step] = std::log(1.0f - f + 1e-6f);
    bins[(j + 1) * step] = std::log(f + 1e-6f);
}

Outputs anchorFree(int n) {
    Outputs o;
    std::vector<float> v = uniform(static_cast<size_t>(4 + kClasses) * n, 0.0f, 0.2f, 1);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < 4; ++k) v[static_cast<size_t>(k) * n + i] = 100.0f + k;
    }
    const auto c = objects(kClasses);
    for (size_t k = 0; k < c.size(); ++k) {
        const size_t i = slot(k, n);
        const Detection& d = c[k];
        const float box[4] = {0.5f * (d.x1 + d.x2), 0.5f * (d.y1 + d.y2), d.x2 - d.x1, d.y2 - d.y1};
        for (int j = 0; j < 4; ++j) v[j * static_cast<size_t>(n) + i] = box[j];
        v[(4 + static_cast<size_t>(d.classId)) * n + i] = d.score;
    }
    o.add("output0", {1, 4 + kClasses, n}, std::move(v));
    return o;
}

Outputs yoloNas() {
    const int n = 8400;
    Outputs o;
    std::vector<float> boxes = uniform(n * 4, 0.0f, 640.0f, 2), scores = uniform(n * kClasses, 0.0f, 0.2f, 3);
    const auto c = objects(kClasses);
    for (size_t k = 0; k < c.size(); ++k) {
        const size_t i = slot(k, n);
        std::copy_n(std::begin({c[k].x1, c[k].y1, c[k].x2, c[k].y2}), 4, &boxes[i * 4]);
        scores[i * kClasses + c[k].classId] = c[k].score;
    }
    o.add("boxes", {1, n, 4}, std::move(boxes));
    o.add("scores", {1, n, kClasses}, std::move(scores));
    return o;
}

Outputs ssd() {
    const int n = 1917, columns = 91;
    Outputs o;
    std::vector<float> boxes = uniform(n * 4, 0.0f, 1.0f, 4), scores = uniform(n * columns, 0.0f, 0.2f, 5);
    for (int i = 0; i < n; ++i) scores[static_cast<size_t>(i) * columns] = 0.9f;  // background
    const auto c = objects(columns - 1);
    for (size_t k = 0; k < c.size(); ++k) {
        const size_t i = slot(k, n);
        std::copy_n(std::begin({c[k].y1 / 640, c[k].x1 / 640, c[k].y2 / 640, c[k].x2 / 640}), 4, &boxes[i * 4]);
        scores[i * columns + 1 + c[k].classId] = c[k].score;
    }
    o.add("boxes", {1, n, 4}, std::move(boxes));
    o.add("scores", {1, n, columns}, std::move(scores));
    return o;
}

// 300 queries, 20 of them objects.
Outputs rtDetr() {
    const int n = 300;
    Outputs o;
    std::vector<float> logits = uniform(n * kClasses, -6.0f, 0.0f, 6), boxes = uniform(n * 4, 0.1f, 0.3f, 7);
    for (int q = 0; q < 20; ++q) logits[static_cast<size_t>(slot(q, n)) * kClasses + q % kClasses] = 8.0f;
    o.add("pred_logits", {1, n, kClasses}, std::move(logits));
    o.add("pred_boxes", {1, n, 4}, std::move(boxes));
    return o;
}

// The anchor cell holding a candidate's centre on a level of the given
// stride, and its side distances in strides.
struct Placed {
    size_t x, y;
    float d[4];
};
Placed place(const Detection& c, int stride, int fm) {
    const float s = static_cast<float>(stride);
    const size_t x = std::min<size_t>(fm - 1, static_cast<size_t>(std::max(0.0f, (c.x1 + c.x2) / 2 / s)));
    const size_t y = std::min<size_t>(fm - 1, static_cast<size_t>(std::max(0.0f, (c.y1 + c.y2) / 2 / s)));
    const float ax = (x + 0.5f) * s, ay = (y + 0.5f) * s;
    return {x, y, {(ax - c.x1) / s, (ay - c.y1) / s, (c.x2 - ax) / s, (c.y2 - ay) / s}};
}

// [1, 2100, 80 + 32] of a 320 input (strides 8, 16, 32), class logits.
Outputs nanoDet() {
    const int rowSize = kClasses + 32, fm[3] = {40, 20, 10}, offset[3] = {0, 1600, 2000};
    std::vector<float> v = uniform(static_cast<size_t>(2100) * rowSize, -8.0f, -2.0f, 8);
    for (const Detection& c : objects(kClasses)) {
        const Detection half{c.x1 / 2, c.y1 / 2, c.x2 / 2, c.y2 / 2, c.score, c.classId};  // 640 -> 320
        const float size = std::max(half.x2 - half.x1, half.y2 - half.y1);
        const int level = size <= 100 ? 0 : size <= 200 ? 1 : 2;
        const Placed p = place(half, 8 << level, fm[level]);
        float* row = &v[(offset[level] + p.y * fm[level] + p.x) * rowSize];
        row[c.classId] = logit(c.score);
        for (int side = 0; side < 4; ++side) putDistribution(row + kClasses + side * 8, 1, 8, p.d[side]);
    }
    Outputs o;
    o.add("output", {1, 2100, rowSize}, std::move(v));
    return o;
}

// Three channel-first levels of a 640 input: 80, 40 and 20 cells a side.
Outputs deepX() {
    Outputs o;
    std::vector<std::vector<float>> reg, cls;
    const int sides[3] = {80, 40, 20};
    for (int l = 0; l < 3; ++l) {
        const size_t plane = static_cast<size_t>(sides[l]) * sides[l];
        reg.push_back(uniform(64 * plane, -2.0f, 2.0f, 9 + l));
        cls.push_back(uniform(kClasses * plane, 0.0f, 0.2f, 12 + l));
    }
    for (const Detection& c : objects(kClasses)) {
        const float size = std::max(c.x2 - c.x1, c.y2 - c.y1);
        const int l = size <= 100 ? 0 : size <= 200 ? 1 : 2;
        const size_t plane = static_cast<size_t>(sides[l]) * sides[l];
        const Placed p = place(c, 8 << l, sides[l]);
        const size_t cell = p.y * sides[l] + p.x;
        cls[l][c.classId * plane + cell] = c.score;
        for (int side = 0; side < 4; ++side) putDistribution(&reg[l][side * 16 * plane + cell], plane, 16, p.d[side]);
    }
    for (int l = 0; l < 3; ++l) o.add("reg", {1, 64, sides[l], sides[l]}, std::move(reg[l]));
    for (int l = 0; l < 3; ++l) o.add("cls", {1, kClasses, sides[l], sides[l]}, std::move(cls[l]));
    return o;
}

double p99(const std::vector<double>& v) {
    std::vector<double> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(sorted.size())))];
}

void decode(benchmark::State& state, Outputs outputs, int32_t architecture, int width = 640) {
    const TensorSet* input = outputs.finish();
    size_t rows = 0;
    for (auto _ : state) {
        TensorSet* out = qzai::runDetectionPostprocessor(architecture, input, kConf, kIou, width, width);
        rows = out->count ? static_cast<size_t>(out->tensors[0].shape[0]) : 0;
        qzai::freeTensorSet(out);
        std::free(out);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

void BM_YoloNas(benchmark::State& s) { decode(s, yoloNas(), 3); }
void BM_Ssd(benchmark::State& s) { decode(s, ssd(), 6, 300); }
void BM_RtDetr(benchmark::State& s) { decode(s, rtDetr(), 4); }
void BM_NanoDet(benchmark::State& s) { decode(s, nanoDet(), 8, 320); }
void BM_YoloV8DeepX(benchmark::State& s) { decode(s, deepX(), 9); }

// Reference: AnchorFreeYolo with one search thread on n proposals of 80 classes.
void BM_AnchorFreeYoloOneThread(benchmark::State& state) {
    Outputs outputs = anchorFree(static_cast<int>(state.range(0)));
    const TensorSet* input = outputs.finish();
    const qzai::ThreadStarter start = [](std::function<void()> work) { return std::thread(std::move(work)); };
    for (auto _ : state) {
        TensorSet* out = qzai::decodeAnchorFreeYoloWithThreads(input, kConf, kIou, 1, start);
        qzai::freeTensorSet(out);
        std::free(out);
    }
}

// Reference for the RT-DETR softmax: expf over the same 300 x 80 logits.
void BM_RtDetrExpLoop(benchmark::State& state) {
    const Outputs outputs = rtDetr();
    const std::vector<float>& logits = outputs.data[0];
    for (auto _ : state) {
        float sum = 0.0f;
        for (const float v : logits) sum += std::exp(v);
        benchmark::DoNotOptimize(sum);
    }
}

#define SINGLE_CALLS                                                                          \
    Unit(benchmark::kMicrosecond)->Iterations(1)->Repetitions(300)->ComputeStatistics("p99", p99) \
        ->ReportAggregatesOnly(true)

BENCHMARK(BM_YoloNas)->SINGLE_CALLS;
BENCHMARK(BM_YoloV8DeepX)->SINGLE_CALLS;
BENCHMARK(BM_AnchorFreeYoloOneThread)->Arg(8400)->SINGLE_CALLS;
BENCHMARK(BM_NanoDet)->SINGLE_CALLS;
BENCHMARK(BM_AnchorFreeYoloOneThread)->Arg(2100)->SINGLE_CALLS;
BENCHMARK(BM_Ssd)->SINGLE_CALLS;
BENCHMARK(BM_RtDetr)->SINGLE_CALLS;
BENCHMARK(BM_RtDetrExpLoop)->SINGLE_CALLS;

}  // namespace
