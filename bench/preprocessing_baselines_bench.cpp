// Frame preprocessing against the chains a user would build instead: a
// 1920x1080 I420 frame into a 640x640 planar normalised float input (fit).
// Every path, ours included, is timed warm and cold with the order of the
// paths shuffled (paired_timing.h, timeInStates), each writing its own
// output buffer; the counters are "ratio_<baseline>_warm" and "_cold".
//  - ratio_libyuv_banded (-DQZ_BENCH_LIBYUV=ON), the strong libyuv chain:
//    bands of 24 placed rows, so that its intermediates stay in the L2
//    cache: I420Scale (nearest) of the band's source rows, J420ToARGB
//    (full-range matrix, like ours), SplitARGBPlane, an AVX2 float pass per
//    plane row; the padding bands written with streaming stores. libyuv
//    samples pixel centres and shares chroma between 2x2 pixels, so the
//    libyuv chains are checked against ours on a smooth frame, within 6
//    grey levels.
//  - ratio_libyuv (weaker): the same steps over the whole placed image at
//    once (I420Scale, J420ToRAW, SplitRGBPlane, a unit-stride float pass
//    the compiler vectorises); its intermediates leave the L2 cache.
//  - ratio_libyuv_strided (weaker): the whole-image chain without
//    SplitRGBPlane, converting the interleaved bytes with a stride-3 loop.
//  - ratio_opencv_resize_first (-DQZ_BENCH_OPENCV=ON): nearest resize of the
//    Y, U and V planes to the placed size, merge, cvtColor (YCrCb, the
//    full-range matrix), one convertTo per plane into the placed rows,
//    padding bands set apart. It reads the same source pixels as ours; its
//    output is checked against ours on a noise frame before timing (within 2
//    grey levels: the colour matrices round differently).
//  - ratio_copy_floor: ours against a memcpy that moves as many bytes as
//    preprocessing must (the placed source rows read, the output written),
//    in the same cache state as ours (ours / floor, 1 is the best possible).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <cstring>
#include <random>
#include <vector>

#include "paired_timing.h"
#include "inference/preprocessing/resize_geometry.h"
#include "inference/preprocessing/yuv_preprocessing.h"

#if defined(QZ_BENCH_WITH_OPENCV)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-enum-enum-conversion"
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#pragma GCC diagnostic pop
#endif
#if defined(QZ_BENCH_WITH_LIBYUV)
#include <immintrin.h>
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#endif

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int kT = 640;
constexpr size_t kPlane = static_cast<size_t>(kT) * kT;
constexpr float kFull[4] = {0.0f, 0.0f, 1.0f, 1.0f};
constexpr float kMeans[3] = {123.675f, 116.28f, 103.53f};
constexpr float kVars[3] = {58.395f, 57.12f, 57.375f};

// One contiguous I420 buffer: noise, or smooth gradients.
struct Frame {
    std::vector<uint8_t> bytes;
    qzai::YuvPlanes planes;
    explicit Frame(bool smooth) : bytes(static_cast<size_t>(kW) * kH * 3 / 2) {
        std::mt19937 rng(7);
        uint8_t* y = bytes.data();
        uint8_t* u = y + static_cast<size_t>(kW) * kH;
        uint8_t* v = u + static_cast<size_t>(kW / 2) * (kH / 2);
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c)
                y[static_cast<size_t>(r) * kW + c] = static_cast<uint8_t>(smooth ? 20 + (c + r) * 200 / (kW + kH) : rng());
        for (int r = 0; r < kH / 2; ++r) {
            for (int c = 0; c < kW / 2; ++c) {
                const size_t i = static_cast<size_t>(r) * (kW / 2) + c;
                u[i] = static_cast<uint8_t>(smooth ? 128 + 50 * std::sin(c / 150.0) : rng());
                v[i] = static_cast<uint8_t>(smooth ? 128 + 50 * std::cos(r / 120.0) : rng());
            }
        }
        planes = {kW, kH, y, u, v, kW, kW / 2, kW / 2};
    }
};

const Frame& noiseFrame() {
    static const Frame f(false);
    return f;
}
[[maybe_unused]] const Frame& smoothFrame() {
    static const Frame f(true);
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

[[maybe_unused]] std::vector<float> ours(const Frame& frame) {
    auto out = qzai::preprocessYuvToFloat(frame.planes, modelInput(), kFull, qzai::ResizingMethod::Fit);
    return std::vector<float>(out->data(), out->data() + 3 * kPlane);
}

// Largest difference in grey levels (0..255) between two planar outputs.
[[maybe_unused]] float worstLevels(const std::vector<float>& a, const std::vector<float>& b) {
    float worst = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]) * kVars[i / kPlane]);
    return worst;
}

qzai::ResizeGeometry geometry() {
    return qzai::computeResizeGeometry(kW, kH, kT, kT, kFull, qzai::ResizingMethod::Fit);
}

// Sets the padding bands of plane c around the placed rectangle.
[[maybe_unused]] void fillPadding(float* plane, const qzai::ResizeGeometry& g, int c) {
    const float pad = -kMeans[c] / kVars[c];
    std::fill(plane, plane + static_cast<size_t>(g.offsetY) * kT, pad);
    std::fill(plane + static_cast<size_t>(g.offsetY + g.placedHeight) * kT, plane + kPlane, pad);
    for (int r = g.offsetY; r < g.offsetY + g.placedHeight; ++r) {
        float* row = plane + static_cast<size_t>(r) * kT;
        std::fill(row, row + g.offsetX, pad);
        std::fill(row + g.offsetX + g.placedWidth, row + kT, pad);
    }
}

#if defined(QZ_BENCH_WITH_OPENCV)
struct OpenCvChain {
    qzai::ResizeGeometry g = geometry();
    cv::Mat ys, us, vs, yuv, rgb;
    std::vector<cv::Mat> channels;
    void run(const Frame& frame, float* out) {
        const auto& p = frame.planes;
        const cv::Size placed(g.placedWidth, g.placedHeight);
        cv::resize(cv::Mat(kH, kW, CV_8UC1, const_cast<uint8_t*>(p.y)), ys, placed, 0, 0, cv::INTER_NEAREST);
        cv::resize(cv::Mat(kH / 2, kW / 2, CV_8UC1, const_cast<uint8_t*>(p.u)), us, placed, 0, 0, cv::INTER_NEAREST);
        cv::resize(cv::Mat(kH / 2, kW / 2, CV_8UC1, const_cast<uint8_t*>(p.v)), vs, placed, 0, 0, cv::INTER_NEAREST);
        cv::merge(std::vector<cv::Mat>{ys, vs, us}, yuv);  // Y, Cr, Cb
        cv::cvtColor(yuv, rgb, cv::COLOR_YCrCb2RGB);  // the full-range (JPEG) matrix, like ours
        cv::split(rgb, channels);
        for (int c = 0; c < 3; ++c) {
            float* plane = out + c * kPlane;
            fillPadding(plane, g, c);
            cv::Mat target(kT, kT, CV_32FC1, plane);
            channels[static_cast<size_t>(c)].convertTo(
                target(cv::Rect(g.offsetX, g.offsetY, g.placedWidth, g.placedHeight)), CV_32F, 1.0 / kVars[c],
                -kMeans[c] / kVars[c]);
        }
    }
};
#endif

#if defined(QZ_BENCH_WITH_LIBYUV)
// One plane row of bytes to normalised floats, unit stride: vectorised.
__attribute__((optimize("O3"))) void bytesToFloats(const uint8_t* src, float* dst, int n, float scale,
                                                    float shift) {
    for (int x = 0; x < n; ++x) dst[x] = static_cast<float>(src[x]) * scale + shift;
}

struct LibyuvChain {
    bool split;  // SplitRGBPlane and unit-stride conversion, else stride-3
    qzai::ResizeGeometry g = geometry();
    std::vector<uint8_t> small, raw, planes;
    explicit LibyuvChain(bool splitPlanes)
        : split(splitPlanes),
          small(static_cast<size_t>(g.placedWidth) * g.placedHeight * 3 / 2),
          raw(static_cast<size_t>(g.placedWidth) * g.placedHeight * 3),
          planes(raw.size()) {}
    void run(const Frame& frame, float* out) {
        const auto& p = frame.planes;
        const int pw = g.placedWidth, ph = g.placedHeight;
        const size_t placed = static_cast<size_t>(pw) * ph;
        uint8_t* sy = small.data();
        uint8_t* su = sy + placed;
        uint8_t* sv = su + static_cast<size_t>(pw / 2) * (ph / 2);
        libyuv::I420Scale(p.y, p.yLineSize, p.u, p.uLineSize, p.v, p.vLineSize, kW, kH, sy, pw, su, pw / 2, sv,
                          pw / 2, pw, ph, libyuv::kFilterNone);
        libyuv::J420ToRAW(sy, pw, su, pw / 2, sv, pw / 2, raw.data(), pw * 3, pw, ph);
        for (int c = 0; c < 3; ++c) fillPadding(out + c * kPlane, g, c);
        const float scale[3] = {1.0f / kVars[0], 1.0f / kVars[1], 1.0f / kVars[2]};
        const float shift[3] = {-kMeans[0] / kVars[0], -kMeans[1] / kVars[1], -kMeans[2] / kVars[2]};
        if (split) {
            uint8_t* pr = planes.data();
            libyuv::SplitRGBPlane(raw.data(), pw * 3, pr, pw, pr + placed, pw, pr + 2 * placed, pw, pw, ph);
            for (int c = 0; c < 3; ++c) {
                for (int r = 0; r < ph; ++r) {
                    bytesToFloats(pr + c * placed + static_cast<size_t>(r) * pw,
                                  out + c * kPlane + static_cast<size_t>(r + g.offsetY) * kT + g.offsetX, pw,
                                  scale[c], shift[c]);
                }
            }
            return;
        }
        for (int r = 0; r < ph; ++r) {
            const uint8_t* src = raw.data() + static_cast<size_t>(r) * pw * 3;
            const size_t at = static_cast<size_t>(r + g.offsetY) * kT + g.offsetX;
            float* r0 = out + at;
            float* r1 = out + kPlane + at;
            float* r2 = out + 2 * kPlane + at;
            for (int x = 0; x < pw; ++x) {
                r0[x] = src[3 * x] * scale[0] + shift[0];
                r1[x] = src[3 * x + 1] * scale[1] + shift[1];
                r2[x] = src[3 * x + 2] * scale[2] + shift[2];
            }
        }
    }
};

// One plane row of bytes to normalised floats with AVX2 and FMA.
__attribute__((target("avx2,fma"))) void bytesToFloatsAvx2(const uint8_t* src, float* dst, int n, float scale,
                                                          float shift) {
    const __m256 s = _mm256_set1_ps(scale), t = _mm256_set1_ps(shift);
    int x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x));
        _mm256_storeu_ps(dst + x, _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)), s, t));
    }
    for (; x < n; ++x) dst[x] = static_cast<float>(src[x]) * scale + shift;
}

// count floats of `value` from `at` with streaming stores (no line read
// first); the caller fences.
__attribute__((target("avx2"))) void streamFill(float* at, size_t count, float value) {
    float* end = at + count;
    while (at < end && (reinterpret_cast<uintptr_t>(at) & 31) != 0) *at++ = value;
    const __m256 v = _mm256_set1_ps(value);
    for (; at + 8 <= end; at += 8) _mm256_stream_ps(at, v);
    while (at < end) *at++ = value;
}

struct LibyuvBandedChain {
    static constexpr int kBand = 24;  // placed rows per band
    qzai::ResizeGeometry g = geometry();
    std::vector<uint8_t> small, argb, planes;  // one band each
    LibyuvBandedChain()
        : small(static_cast<size_t>(g.placedWidth) * kBand * 3 / 2),
          argb(static_cast<size_t>(g.placedWidth) * kBand * 4),
          planes(static_cast<size_t>(g.placedWidth) * kBand * 3) {}
    // Whole source rows per band only: every band then samples the rows the
    // whole-image scale would (the output check before timing confirms it).
    bool fits() const {
        return g.placedHeight % kBand == 0 && (kH * kBand) % g.placedHeight == 0 &&
               (kH * kBand / g.placedHeight) % 2 == 0 && g.offsetX == 0 && g.placedWidth == kT;
    }
    void run(const Frame& frame, float* out) {
        const auto& p = frame.planes;
        const int pw = g.placedWidth, ph = g.placedHeight;
        const size_t band = static_cast<size_t>(pw) * kBand;
        const float scale[3] = {1.0f / kVars[0], 1.0f / kVars[1], 1.0f / kVars[2]};
        const float shift[3] = {-kMeans[0] / kVars[0], -kMeans[1] / kVars[1], -kMeans[2] / kVars[2]};
        for (int c = 0; c < 3; ++c) {
            float* plane = out + c * kPlane;
            streamFill(plane, static_cast<size_t>(g.offsetY) * kT, shift[c]);
            const size_t below = static_cast<size_t>(g.offsetY + ph) * kT;
            streamFill(plane + below, kPlane - below, shift[c]);
        }
        _mm_sfence();
        const int sourceRows = kH * kBand / ph;
        uint8_t* sy = small.data();
        uint8_t* su = sy + band;
        uint8_t* sv = su + band / 4;
        uint8_t* pr = planes.data();
        for (int r = 0; r < ph; r += kBand) {
            const size_t from = static_cast<size_t>(r / kBand) * sourceRows;
            libyuv::I420Scale(p.y + from * p.yLineSize, p.yLineSize, p.u + from / 2 * p.uLineSize, p.uLineSize,
                              p.v + from / 2 * p.vLineSize, p.vLineSize, kW, sourceRows, sy, pw, su, pw / 2, sv,
                              pw / 2, pw, kBand, libyuv::kFilterNone);
            libyuv::J420ToARGB(sy, pw, su, pw / 2, sv, pw / 2, argb.data(), pw * 4, pw, kBand);
            libyuv::SplitARGBPlane(argb.data(), pw * 4, pr, pw, pr + band, pw, pr + 2 * band, pw, nullptr, 0, pw,
                                   kBand);
            for (int c = 0; c < 3; ++c) {
                for (int k = 0; k < kBand; ++k) {
                    bytesToFloatsAvx2(pr + c * band + static_cast<size_t>(k) * pw,
                                      out + c * kPlane + static_cast<size_t>(r + k + g.offsetY) * kT, pw,
                                      scale[c], shift[c]);
                }
            }
        }
    }
};
#endif

// Drops from the cache every byte of the given buffers.
template <typename... Buffers>
void evictBuffers(const Buffers&... buffers) {
    (bench_pairs::evictFromCache(buffers.data(), buffers.size() * sizeof(*buffers.data())), ...);
}

void BM_PrepFit640_AgainstBaselines(benchmark::State& state) {
    const auto in = modelInput();
    const qzai::ResizeGeometry g = geometry();
    const Frame& frame = noiseFrame();
    std::vector<bench_pairs::Path> baselines;
    // Each baseline writes a buffer of its own.
    std::vector<std::vector<float>> outs;
    outs.reserve(5);
    [[maybe_unused]] auto outBuffer = [&outs]() -> std::vector<float>& { return outs.emplace_back(3 * kPlane); };

#if defined(QZ_BENCH_WITH_LIBYUV)
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        state.SkipWithError("the banded libyuv chain needs AVX2 and FMA");
        return;
    }
    LibyuvBandedChain banded;
    if (!banded.fits()) {
        state.SkipWithError("the banded libyuv chain needs whole source rows per band");
        return;
    }
    LibyuvChain libyuvChain(true), libyuvStrided(false);
    auto& bandedOut = outBuffer();
    auto& libyuvOut = outBuffer();
    auto& stridedOut = outBuffer();
    banded.run(smoothFrame(), bandedOut.data());
    libyuvChain.run(smoothFrame(), libyuvOut.data());
    libyuvStrided.run(smoothFrame(), stridedOut.data());
    for (const auto* chainOut : {&bandedOut, &libyuvOut, &stridedOut}) {
        if (const float worst = worstLevels(*chainOut, ours(smoothFrame())); worst > 6.0f) {
            state.SkipWithError(("libyuv chain differs by " + std::to_string(worst) + " grey levels").c_str());
            return;
        }
    }
    baselines.push_back({"libyuv_banded", [&] {
                             banded.run(frame, bandedOut.data());
                             benchmark::DoNotOptimize(bandedOut.data());
                         },
                         [&] { evictBuffers(frame.bytes, bandedOut, banded.small, banded.argb, banded.planes); }});
    baselines.push_back({"libyuv", [&] {
                             libyuvChain.run(frame, libyuvOut.data());
                             benchmark::DoNotOptimize(libyuvOut.data());
                         },
                         [&] {
                             evictBuffers(frame.bytes, libyuvOut, libyuvChain.small, libyuvChain.raw,
                                          libyuvChain.planes);
                         }});
    baselines.push_back({"libyuv_strided", [&] {
                             libyuvStrided.run(frame, stridedOut.data());
                             benchmark::DoNotOptimize(stridedOut.data());
                         },
                         [&] { evictBuffers(frame.bytes, stridedOut, libyuvStrided.small, libyuvStrided.raw); }});
#endif
#if defined(QZ_BENCH_WITH_OPENCV)
    OpenCvChain openCv;
    auto& openCvOut = outBuffer();
    openCv.run(frame, openCvOut.data());
    if (const float worst = worstLevels(openCvOut, ours(frame)); worst > 2.0f) {
        state.SkipWithError(("OpenCV chain differs by " + std::to_string(worst) + " grey levels").c_str());
        return;
    }
    baselines.push_back({"opencv_resize_first", [&] {
                             openCv.run(frame, openCvOut.data());
                             benchmark::DoNotOptimize(openCvOut.data());
                         },
                         [&] {
                             evictBuffers(frame.bytes, openCvOut);
                             for (const cv::Mat* m : {&openCv.ys, &openCv.us, &openCv.vs, &openCv.yuv, &openCv.rgb})
                                 bench_pairs::evictFromCache(m->data, m->total() * m->elemSize());
                             for (const cv::Mat& m : openCv.channels)
                                 bench_pairs::evictFromCache(m.data, m.total() * m.elemSize());
                         }});
#endif
    // The bytes preprocessing must move: every source row it samples (Y, and
    // U and V rows at half width) read, the output written. A memcpy moves
    // twice its size.
    const size_t moved = static_cast<size_t>(g.placedHeight) * kW * 2 + 3 * kPlane * sizeof(float);
    std::vector<uint8_t> copyFrom(moved / 2, 1), copyTo(moved / 2);
    baselines.push_back({"copy_floor",
                         [&] {
                             std::memcpy(copyTo.data(), copyFrom.data(), copyTo.size());
                             benchmark::DoNotOptimize(copyTo.data());
                             benchmark::ClobberMemory();
                         },
                         [&] { evictBuffers(copyFrom, copyTo); }, true});
    // Ours allocates its output on every call, as the product does; the last
    // one stays alive until the next call, so that the cold state can drop it
    // (the next call's allocation reuses the freed block).
    std::optional<qzai::HeapArray<float>> result;
    const bench_pairs::Path own{"ours",
                                [&] {
                                    result.reset();
                                    result = qzai::preprocessYuvToFloat(frame.planes, in, kFull,
                                                                        qzai::ResizingMethod::Fit);
                                    benchmark::DoNotOptimize(result->data());
                                },
                                [&] {
                                    evictBuffers(frame.bytes);
                                    if (result) bench_pairs::evictFromCache(result->data(), result->size() * sizeof(float));
                                }};
    bench_pairs::timeInStates(state, own, baselines, {bench_pairs::CacheState::Warm, bench_pairs::CacheState::Cold});
}
BENCHMARK(BM_PrepFit640_AgainstBaselines)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
