// Frame preprocessing, single thread: a 1920x1080 YUV 4:2:0 frame into a
// 640x640 planar normalised float input (fit), against in the same run
//  - a straightforward per-pixel version (divisions per pixel, one pixel at
//    a time, as the mapping reads on paper),
//  - the usual OpenCV chain (with -DQZ_BENCH_OPENCV=ON),
//  - a memset of the output's bytes (the floor);
// and the whole-frame conversion against a memset of its 24.9 MB output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "inference/preprocessing/resize_geometry.h"
#include "inference/preprocessing/yuv_preprocessing.h"

#if defined(QZ_BENCH_WITH_OPENCV)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-enum-enum-conversion"
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#pragma GCC diagnostic pop
#endif

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int kT = 640;
constexpr float kFull[4] = {0.0f, 0.0f, 1.0f, 1.0f};
constexpr float kMeans[3] = {123.675f, 116.28f, 103.53f};
constexpr float kVars[3] = {58.395f, 57.12f, 57.375f};

// One contiguous I420 buffer (Y, then U, then V), filled with noise.
struct Frame {
    std::vector<uint8_t> bytes;
    qzai::YuvPlanes planes;
    Frame() : bytes(static_cast<size_t>(kW) * kH * 3 / 2) {
        std::mt19937 rng(7);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        const uint8_t* y = bytes.data();
        const uint8_t* u = y + static_cast<size_t>(kW) * kH;
        const uint8_t* v = u + static_cast<size_t>(kW / 2) * (kH / 2);
        planes = {kW, kH, y, u, v, kW, kW / 2, kW / 2};
    }
};

const Frame& frame() {
    static const Frame f;
    return f;
}

qzai::ModelInputDetails_t modelInput() {
    qzai::ModelInputDetails_t in;
    in.width = kT;
    in.height = kT;
    in.channels = 3;
    in.order = 0;
    std::copy(kMeans, kMeans + 3, in.means);
    std::copy(kVars, kVars + 3, in.vars);
    return in;
}

void BM_PrepFit640(benchmark::State& state) {
    const auto in = modelInput();
    for (auto _ : state) {
        auto out = qzai::preprocessYuvToFloat(frame().planes, in, kFull, qzai::ResizingMethod::Fit);
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_PrepFit640)->Unit(benchmark::kMicrosecond);

// Per target pixel: map with divisions, convert, normalise with a division.
void BM_PrepFit640_PerPixel(benchmark::State& state) {
    const auto& p = frame().planes;
    const auto g = qzai::computeResizeGeometry(kW, kH, kT, kT, kFull, qzai::ResizingMethod::Fit);
    std::vector<float> out(static_cast<size_t>(kT) * kT * 3);
    const size_t plane = static_cast<size_t>(kT) * kT;
    for (auto _ : state) {
        for (int r = 0; r < kT; ++r) {
            for (int i = 0; i < kT; ++i) {
                const int ky = static_cast<int>(static_cast<float>(r - g.offsetY) * g.cropHeight / g.placedHeight);
                const int kx = static_cast<int>(static_cast<float>(i - g.offsetX) * g.cropWidth / g.placedWidth);
                float rgb[3] = {0, 0, 0};
                if (kx >= 0 && kx < g.cropWidth && ky >= 0 && ky < g.cropHeight) {
                    const int sx = g.cropX + kx;
                    const int sy = g.cropY + ky;
                    const float Y = p.y[sy * p.yLineSize + sx];
                    const float U = p.u[(sy / 2) * p.uLineSize + sx / 2] - 128.0f;
                    const float V = p.v[(sy / 2) * p.uLineSize + sx / 2] - 128.0f;
                    rgb[0] = std::max(std::min(Y + 1.402f * V, 255.0f), 0.0f);
                    rgb[1] = std::max(std::min(Y - 0.344136f * U - 0.714136f * V, 255.0f), 0.0f);
                    rgb[2] = std::max(std::min(Y + 1.772f * U, 255.0f), 0.0f);
                }
                for (int c = 0; c < 3; ++c)
                    out[c * plane + static_cast<size_t>(r) * kT + i] = (rgb[c] - kMeans[c]) / kVars[c];
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_PrepFit640_PerPixel)->Unit(benchmark::kMicrosecond);

#if defined(QZ_BENCH_WITH_OPENCV)
// Full-frame I420 to RGB, nearest resize, float, place on a canvas,
// normalise, split to planes.
void BM_PrepFit640_OpenCv(benchmark::State& state) {
    cv::setNumThreads(0);  // single thread, like the code under test
    const auto g = qzai::computeResizeGeometry(kW, kH, kT, kT, kFull, qzai::ResizingMethod::Fit);
    cv::Mat i420(kH * 3 / 2, kW, CV_8UC1, const_cast<uint8_t*>(frame().bytes.data()));
    cv::Mat rgb, placed, placedF;
    std::vector<float> out(static_cast<size_t>(kT) * kT * 3);
    const size_t plane = static_cast<size_t>(kT) * kT;
    for (auto _ : state) {
        cv::cvtColor(i420, rgb, cv::COLOR_YUV2RGB_I420);
        cv::resize(rgb, placed, cv::Size(g.placedWidth, g.placedHeight), 0, 0, cv::INTER_NEAREST);
        placed.convertTo(placedF, CV_32FC3);
        cv::Mat canvas(kT, kT, CV_32FC3, cv::Scalar(0, 0, 0));
        placedF.copyTo(canvas(cv::Rect(g.offsetX, g.offsetY, g.placedWidth, g.placedHeight)));
        cv::subtract(canvas, cv::Scalar(kMeans[0], kMeans[1], kMeans[2]), canvas);
        cv::divide(canvas, cv::Scalar(kVars[0], kVars[1], kVars[2]), canvas);
        std::vector<cv::Mat> planes = {cv::Mat(kT, kT, CV_32FC1, out.data()),
                                       cv::Mat(kT, kT, CV_32FC1, out.data() + plane),
                                       cv::Mat(kT, kT, CV_32FC1, out.data() + 2 * plane)};
        cv::split(canvas, planes);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_PrepFit640_OpenCv)->Unit(benchmark::kMicrosecond);
#endif

void memsetLoop(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    for (auto _ : state) {
        std::memset(out.data(), 1, out.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void BM_PrepFit640_Memset(benchmark::State& state) {
    memsetLoop(state, static_cast<size_t>(kT) * kT * 3 * sizeof(float));
}
BENCHMARK(BM_PrepFit640_Memset)->Unit(benchmark::kMicrosecond);

void BM_PrepFrameToRgb1080p(benchmark::State& state) {
    std::vector<float> out(static_cast<size_t>(kW) * kH * 3);
    const auto layout = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        qzai::convertYuvToRgb(frame().planes, layout, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_PrepFrameToRgb1080p)->ArgName("layout")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_PrepFrameToRgb1080p_Memset(benchmark::State& state) {
    memsetLoop(state, static_cast<size_t>(kW) * kH * 3 * sizeof(float));
}
BENCHMARK(BM_PrepFrameToRgb1080p_Memset)->Unit(benchmark::kMicrosecond);

}  // namespace
