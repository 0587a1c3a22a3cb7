#include "inference/video_frame.h"

#include <cstring>

#include "inference/preprocessing/colour_conversion.h"
#include "qz/sdk/analytics/i_uncompressed_video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

VideoFrame::VideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint32_t layout)
    : VideoFrame(yuvPlanesOf(frame), layout) {
    if (frame) {
        width_ = frame->width();
        height_ = frame->height();
    }
}

VideoFrame::VideoFrame(const YuvPlanes& planes, uint32_t layout)
    : width_(planes.width), height_(planes.height), format_(layout) {
    HeapArray<float> rgb = convertFrameToRgb(planes, layout);
    const size_t bytes = rgb.byteSize();
    data_ = HeapArray<uint8_t>::adopt(reinterpret_cast<uint8_t*>(rgb.release()), bytes);
}

VideoFrame::VideoFrame(std::span<const uint8_t> bytes, int64_t width, int64_t height,
                       uint32_t format)
    : width_(width), height_(height), format_(format) {
    if (!bytes.empty() && data_.allocate(bytes.size()))
        std::memcpy(data_.data(), bytes.data(), bytes.size());
}

}  // namespace qz::vms_server_plugins::analytics::qzai
