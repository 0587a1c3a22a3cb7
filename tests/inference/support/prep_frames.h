// Test frames for the preprocessing tests: YUV 4:2:0 planes in exact-size
// heap blocks (so sanitizers catch any read past a plane), line sizes wider
// than the plane with poison bytes in the gap, a host-frame wrapper, and a
// double-precision reference of the colour conversion.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "inference/preprocessing/yuv_planes.h"
#include "qz/sdk/analytics/i_uncompressed_video_frame.h"

namespace prep_test {

// The whole frame as a crop box: left, top, right, bottom in fractions.
inline constexpr float kFull[4] = {0.0f, 0.0f, 1.0f, 1.0f};

using PixelFn = std::function<uint8_t(int x, int y)>;

struct TestYuvFrame {
    int width = 0;
    int height = 0;
    int yLineSize = 0;
    int cLineSize = 0;
    std::vector<uint8_t> y, u, v;

    // Y from luma(x, y); U and V from chroma functions of the block (x/2, y/2).
    // `gap` extra poison bytes per line.
    TestYuvFrame(int w, int h, const PixelFn& luma, const PixelFn& cb, const PixelFn& cr, int gap = 0);

    qz::vms_server_plugins::analytics::qzai::YuvPlanes planes() const;
};

// A frame whose U and V are 128, so R = G = B = Y exactly.
TestYuvFrame greyFrame(int w, int h, const PixelFn& luma, int gap = 0);

// Random Y per pixel and random U, V per 2x2 block.
TestYuvFrame randomFrame(int w, int h, uint32_t seed, int gap = 0);

// Full-range BT.601 in double with its own chroma lookup, clamped to 0..255.
std::array<double, 3> referenceRgb(const TestYuvFrame& f, int x, int y);

// The frame as the host hands it over; planeCount can be lowered to test
// malformed frames.
class HostFrame : public qz::sdk::analytics::IUncompressedVideoFrame {
public:
    explicit HostFrame(const TestYuvFrame& f, int planes = 3) : f_(f), planes_(planes) {}
    void* queryInterface(const char*) override { return nullptr; }
    int addRef() const override { return 1; }
    int releaseRef() const override { return 1; }
    int64_t timestampUs() const override { return 0; }
    int width() const override { return f_.width; }
    int height() const override { return f_.height; }
    int planeCount() const override { return planes_; }
    const uint8_t* data(int plane) const override;
    int lineSize(int plane) const override;

private:
    const TestYuvFrame& f_;
    int planes_;
};

}  // namespace prep_test
