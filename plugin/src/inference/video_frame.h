// VideoFrame: a decoded frame as width, height, a layout code (0 =
// channel-planar R, G, B planes; any other value = interleaved R, G, B per
// pixel) and a byte buffer. Built from a host frame it holds width x height
// x 3 floats (0..255) converted from YUV 4:2:0; built from bytes (an
// external pre-processor's image) it holds those bytes as sent, whatever
// their size, and readers check the size before use.
//
// Shared through std::shared_ptr and never changed after construction, so
// any number of threads may read it. A frame made with a
// FrameBufferPool takes its buffer from the pool and gives it back when it
// is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/heap_array.h"
#include "inference/preprocessing/yuv_planes.h"

namespace qz::sdk::analytics {
class IUncompressedVideoFrame;
}

namespace qz::vms_server_plugins::analytics::qzai {

class FrameBufferPool;

struct VideoFrame {
public:
    // Converts the host frame whole (convertFrameToRgb). A frame that cannot
    // be read (no planes, size 0 or less) gives empty data; width and height
    // are still the host frame's.
    VideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint32_t layout);
    VideoFrame(const YuvPlanes& planes, uint32_t layout);
    // The same conversion into a buffer of `pool`, given back on destruction.
    VideoFrame(const qz::sdk::analytics::IUncompressedVideoFrame* frame, uint32_t layout,
               std::shared_ptr<FrameBufferPool> pool);
    // Copies `bytes` as they are.
    VideoFrame(std::span<const uint8_t> bytes, int64_t width, int64_t height, uint32_t format);
    // The same copy into a buffer of `pool`, given back on destruction; the
    // data is empty when no buffer could be had.
    VideoFrame(std::span<const uint8_t> bytes, int64_t width, int64_t height, uint32_t format,
               std::shared_ptr<FrameBufferPool> pool);

    ~VideoFrame();

    VideoFrame(const VideoFrame&) = delete;
    VideoFrame& operator=(const VideoFrame&) = delete;

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    uint32_t format() const { return format_; }
    std::span<const uint8_t> data() const { return {data_.data(), data_.size()}; }

private:
    int64_t width_ = 0;
    int64_t height_ = 0;
    uint32_t format_ = 0;
    HeapArray<uint8_t> data_;
    std::shared_ptr<FrameBufferPool> pool_;  // where data_ goes back, if set
};

}  // namespace qz::vms_server_plugins::analytics::qzai
