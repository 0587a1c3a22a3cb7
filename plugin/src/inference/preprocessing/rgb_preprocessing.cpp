#include "inference/preprocessing/rgb_preprocessing.h"

#include <limits>
#include <vector>

#include "inference/preprocessing/resize_plan.h"
#include "inference/video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Samples the mapped columns of one source row of a float RGB buffer.
class RgbRowSource {
public:
    RgbRowSource(const float* base, size_t width, size_t height, bool planar, size_t maxColumns)
        : base_(base), width_(width), planeSize_(width * height), planar_(planar), rgb_(3 * maxColumns) {}

    void operator()(int32_t sourceRow, const int32_t* columns, size_t n, float* r, float* g,
                    float* b) const {
        const auto row = static_cast<size_t>(sourceRow);
        if (planar_) {
            const float* R = base_ + row * width_;
            const float* G = R + planeSize_;
            const float* B = G + planeSize_;
            for (size_t i = 0; i < n; ++i) {
                const auto col = static_cast<size_t>(columns[i]);
                r[i] = R[col];
                g[i] = G[col];
                b[i] = B[col];
            }
        } else {
            const float* line = base_ + 3 * row * width_;
            for (size_t i = 0; i < n; ++i) {
                const float* px = line + 3 * static_cast<size_t>(columns[i]);
                r[i] = px[0];
                g[i] = px[1];
                b[i] = px[2];
            }
        }
    }

    void prefetch(int32_t sourceRow, const int32_t* columns, size_t n) const {
        const auto row = static_cast<size_t>(sourceRow);
        const size_t first = sizeof(float) * static_cast<size_t>(columns[0]);
        const size_t last = sizeof(float) * static_cast<size_t>(columns[n - 1]);
        if (planar_) {
            for (size_t c = 0; c < 3; ++c) prefetchBytes(base_ + c * planeSize_ + row * width_, first, last);
        } else {
            prefetchBytes(base_ + 3 * row * width_, 3 * first, 3 * last + 2 * sizeof(float));
        }
    }

    void normalised(int32_t sourceRow, const int32_t* columns, size_t n, const Normalisation& norm,
                    bool planar, float* const dst[3]) {
        float* r = rgb_.data();
        (*this)(sourceRow, columns, n, r, r + n, r + 2 * n);
        if (planar)
            storeNormalisedPlanar(r, r + n, r + 2 * n, n, norm, dst);
        else
            storeNormalisedInterleaved(r, r + n, r + 2 * n, n, norm, dst[0]);
    }

private:
    const float* base_;
    size_t width_;
    size_t planeSize_;
    bool planar_;
    std::vector<float> rgb_;  // scratch row for normalised()
};

// The float pixels of a frame whose buffer holds all of them, else null.
const float* checkedPixels(const VideoFrame& frame) {
    const int64_t W = frame.width();
    const int64_t H = frame.height();
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (W <= 0 || H <= 0 || W > kMax || H > kMax) return nullptr;
    const auto w = static_cast<uint64_t>(W);
    const auto h = static_cast<uint64_t>(H);
    // w, h < 2^31, so w * h < 2^62; the byte count must not overflow 64 bits.
    const uint64_t pixels = w * h;
    if (pixels > std::numeric_limits<uint64_t>::max() / (3 * sizeof(float))) return nullptr;
    if (frame.data().size() < pixels * 3 * sizeof(float)) return nullptr;
    return reinterpret_cast<const float*>(frame.data().data());
}

std::optional<ResizePlan> planFor(const VideoFrame& frame, uint64_t tw, uint64_t th,
                                  std::span<const float, 4> cropBox, ResizingMethod method) {
    if (!checkedPixels(frame) || !isSupportedTargetSize(tw, th)) return std::nullopt;
    return buildResizePlan(static_cast<int32_t>(frame.width()), static_cast<int32_t>(frame.height()),
                           static_cast<int32_t>(tw), static_cast<int32_t>(th), cropBox, method);
}

RgbRowSource sourceOf(const VideoFrame& frame, const ResizePlan& plan) {
    return RgbRowSource(checkedPixels(frame), static_cast<size_t>(frame.width()),
                        static_cast<size_t>(frame.height()), frame.format() == 0,
                        static_cast<size_t>(plan.targetWidth));
}

}  // namespace

std::optional<HeapArray<float>> preprocessRgbToFloat(const VideoFrame& frame,
                                                     const ModelInputDetails_t& input,
                                                     std::span<const float, 4> cropBox,
                                                     ResizingMethod method) {
    const auto plan = planFor(frame, input.width, input.height, cropBox, method);
    if (!plan) return std::nullopt;
    return renderFloat(*plan, input, sourceOf(frame, *plan));
}

std::optional<HeapArray<uint8_t>> preprocessRgbToUint8(const VideoFrame& frame, uint64_t tw,
                                                       uint64_t th,
                                                       std::span<const float, 4> cropBox,
                                                       ResizingMethod method) {
    const auto plan = planFor(frame, tw, th, cropBox, method);
    if (!plan) return std::nullopt;
    return renderBytes(*plan, sourceOf(frame, *plan));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
