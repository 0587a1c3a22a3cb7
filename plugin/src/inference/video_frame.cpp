#include "inference/video_frame.h"

#include <cstring>

#include "common/frame_buffer_pool.h"
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

VideoFrame::VideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint32_t layout,
                       std::shared_ptr<FrameBufferPool> pool)
    : format_(layout), pool_(std::move(pool)) {
    if (!frame) return;
    width_ = frame->width();
    height_ = frame->height();
    const YuvPlanes planes = yuvPlanesOf(frame);
    if (!pool_) {
        VideoFrame plain(planes, layout);
        data_ = std::move(plain.data_);
        return;
    }
    if (planes.width <= 0 || planes.height <= 0) return;
    const size_t count = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height) * 3;
    if (count > static_cast<size_t>(-1) / sizeof(float)) return;
    data_ = pool_->take(count * sizeof(float));
    if (data_.empty()) return;
    if (!convertYuvToRgb(planes, layout, reinterpret_cast<float*>(data_.data()))) pool_->give(std::move(data_));
}

VideoFrame::~VideoFrame() {
    if (pool_) pool_->give(std::move(data_));
}

VideoFrame::VideoFrame(std::span<const uint8_t> bytes, int64_t width, int64_t height, uint32_t format)
    : VideoFrame(bytes, width, height, format, nullptr) {}

VideoFrame::VideoFrame(std::span<const uint8_t> bytes, int64_t width, int64_t height, uint32_t format,
                       std::shared_ptr<FrameBufferPool> pool)
    : width_(width), height_(height), format_(format), pool_(std::move(pool)) {
    if (bytes.empty()) return;
    if (pool_) {
        data_ = pool_->take(bytes.size());
    } else {
        data_.allocate(bytes.size());
    }
    if (!data_.empty()) std::memcpy(data_.data(), bytes.data(), bytes.size());
}

}  // namespace qz::vms_server_plugins::analytics::qzai
