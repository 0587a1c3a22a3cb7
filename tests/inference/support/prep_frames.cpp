#include "prep_frames.h"

#include <algorithm>
#include <random>

namespace prep_test {

namespace {
constexpr uint8_t kPoison = 0xEE;

// Exact-size plane: the last line ends at the plane's width.
std::vector<uint8_t> makePlane(int w, int h, int lineSize, const PixelFn& value) {
    std::vector<uint8_t> plane(static_cast<size_t>((h - 1) * lineSize + w), kPoison);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) plane[static_cast<size_t>(row * lineSize + col)] = value(col, row);
    return plane;
}
}  // namespace

TestYuvFrame::TestYuvFrame(int w, int h, const PixelFn& luma, const PixelFn& cb, const PixelFn& cr, int gap)
    : width(w), height(h), yLineSize(w + gap), cLineSize((w + 1) / 2 + gap) {
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    y = makePlane(w, h, yLineSize, luma);
    u = makePlane(cw, ch, cLineSize, cb);
    v = makePlane(cw, ch, cLineSize, cr);
}

qz::vms_server_plugins::analytics::qzai::YuvPlanes TestYuvFrame::planes() const {
    return {width, height, y.data(), u.data(), v.data(), yLineSize, cLineSize, cLineSize};
}

TestYuvFrame greyFrame(int w, int h, const PixelFn& luma, int gap) {
    auto mid = [](int, int) -> uint8_t { return 128; };
    return TestYuvFrame(w, h, luma, mid, mid, gap);
}

TestYuvFrame randomFrame(int w, int h, uint32_t seed, int gap) {
    std::mt19937 rng(seed);
    auto byte = [&](int, int) -> uint8_t { return static_cast<uint8_t>(rng() & 0xFF); };
    return TestYuvFrame(w, h, byte, byte, byte, gap);
}

std::array<double, 3> referenceRgb(const TestYuvFrame& f, int x, int y) {
    const size_t chroma = static_cast<size_t>((y >> 1) * f.cLineSize + (x >> 1));
    const double Y = f.y[static_cast<size_t>(y * f.yLineSize + x)];
    const double U = f.u[chroma] - 128.0;
    const double V = f.v[chroma] - 128.0;
    std::array<double, 3> rgb = {Y + 1.402 * V, Y - 0.344136 * U - 0.714136 * V, Y + 1.772 * U};
    for (double& c : rgb) c = std::clamp(c, 0.0, 255.0);
    return rgb;
}

const uint8_t* HostFrame::data(int plane) const {
    if (plane >= planes_) return nullptr;
    return plane == 0 ? f_.y.data() : plane == 1 ? f_.u.data() : plane == 2 ? f_.v.data() : nullptr;
}

int HostFrame::lineSize(int plane) const {
    if (plane >= planes_) return 0;
    return plane == 0 ? f_.yLineSize : plane <= 2 ? f_.cLineSize : 0;
}

}  // namespace prep_test
