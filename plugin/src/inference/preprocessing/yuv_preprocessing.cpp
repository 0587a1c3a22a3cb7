#include "inference/preprocessing/yuv_preprocessing.h"

#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "inference/preprocessing/resize_plan.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Samples Y, U and V of the mapped columns of one source row and converts
// them. Holds its scratch rows so a pass allocates them once.
class YuvRowSource {
public:
    YuvRowSource(const YuvPlanes& planes, size_t maxColumns)
        : p_(planes), y_(maxColumns), u_(maxColumns), v_(maxColumns) {}

    void operator()(int32_t sourceRow, const int32_t* columns, size_t n, float* r, float* g,
                    float* b) {
        gather(sourceRow, columns, n);
        convertYuvPixelsToRgb(y_.data(), u_.data(), v_.data(), n, r, g, b);
    }

    void normalised(int32_t sourceRow, const int32_t* columns, size_t n, const Normalisation& norm,
                    bool planar, float* const dst[3]) {
        gather(sourceRow, columns, n);
        convertYuvPixelsNormalised(y_.data(), u_.data(), v_.data(), n, norm, planar, dst);
    }

    void prefetch(int32_t sourceRow, const int32_t* columns, size_t n) const {
        const auto row = static_cast<size_t>(sourceRow);
        const auto first = static_cast<size_t>(columns[0]);
        const auto last = static_cast<size_t>(columns[n - 1]);
        prefetchBytes(p_.y + row * static_cast<size_t>(p_.yLineSize), first, last);
        prefetchBytes(p_.u + (row / 2) * static_cast<size_t>(p_.uLineSize), first / 2, last / 2);
        prefetchBytes(p_.v + (row / 2) * static_cast<size_t>(p_.vLineSize), first / 2, last / 2);
    }

private:
    // Y, U and V of the given columns into the scratch rows. The scratch
    // pointers are locals so the byte stores cannot make the compiler
    // reload them on every pixel.
    void gather(int32_t sourceRow, const int32_t* columns, size_t n) {
        const auto row = static_cast<size_t>(sourceRow);
        const uint8_t* yRow = p_.y + row * static_cast<size_t>(p_.yLineSize);
        const uint8_t* uRow = p_.u + (row / 2) * static_cast<size_t>(p_.uLineSize);
        const uint8_t* vRow = p_.v + (row / 2) * static_cast<size_t>(p_.vLineSize);
        uint8_t* ys = y_.data();
        uint8_t* us = u_.data();
        uint8_t* vs = v_.data();
        for (size_t i = 0; i < n; ++i) {
            const auto col = static_cast<size_t>(columns[i]);
            ys[i] = yRow[col];
            us[i] = uRow[col / 2];
            vs[i] = vRow[col / 2];
        }
    }

    const YuvPlanes& p_;
    std::vector<uint8_t> y_, u_, v_;
};

// Plan for a usable frame and a supported target size, else nullopt.
std::optional<ResizePlan> planFor(const YuvPlanes& frame, uint64_t tw, uint64_t th,
                                  std::span<const float, 4> cropBox, ResizingMethod method) {
    if (!isUsable(frame) || !isSupportedTargetSize(tw, th)) return std::nullopt;
    return buildResizePlan(frame.width, frame.height, static_cast<int32_t>(tw),
                           static_cast<int32_t>(th), cropBox, method);
}

}  // namespace

std::optional<HeapArray<float>> preprocessYuvToFloat(const YuvPlanes& frame,
                                                     const ModelInputDetails_t& input,
                                                     std::span<const float, 4> cropBox,
                                                     ResizingMethod method) {
    const auto plan = planFor(frame, input.width, input.height, cropBox, method);
    if (!plan) return std::nullopt;
    return renderFloat(*plan, input, YuvRowSource(frame, static_cast<size_t>(plan->targetWidth)));
}

std::optional<HeapArray<float>> preprocessYuvToFloat(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, const ModelInputDetails_t& input,
    std::span<const float, 4> cropBox, ResizingMethod method) {
    return preprocessYuvToFloat(yuvPlanesOf(frame), input, cropBox, method);
}

std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(const YuvPlanes& frame, uint64_t tw,
                                                       uint64_t th,
                                                       std::span<const float, 4> cropBox,
                                                       ResizingMethod method) {
    const auto plan = planFor(frame, tw, th, cropBox, method);
    if (!plan) return std::nullopt;
    return renderBytes(*plan, YuvRowSource(frame, static_cast<size_t>(plan->targetWidth)));
}

std::optional<HeapArray<uint8_t>> preprocessYuvToUint8(
    const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint64_t tw, uint64_t th,
    std::span<const float, 4> cropBox, ResizingMethod method) {
    return preprocessYuvToUint8(yuvPlanesOf(frame), tw, th, cropBox, method);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
