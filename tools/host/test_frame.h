// TestFrame: a YUV 4:2:0 frame (IUncompressedVideoFrame) the test host pushes.
//
// Planes are width x height (Y) and ceil(width/2) x ceil(height/2) (U, V),
// each with its own line size (0 picks the plane width; a larger one leaves
// padding filled with kPaddingByte, which no reader should see). The
// background is one colour; bright squares can be drawn on the Y plane (a
// later frame with moved squares shows motion). Immutable once built.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::test_host {

struct Square {
    int x = 0;
    int y = 0;
    int size = 16;
    uint8_t luma = 235;
};

struct FrameLayout {
    int width = 320;
    int height = 240;
    std::array<int, 3> lineSizes{0, 0, 0};
    int64_t timestampUs = 0;
    uint8_t y = 16;
    uint8_t u = 128;
    uint8_t v = 128;
    std::vector<Square> squares;
};

class TestFrame final : public qz::sdk::RefCountable<qz::sdk::analytics::IUncompressedVideoFrame> {
public:
    static constexpr uint8_t kPaddingByte = 0xAB;

    // Throws std::invalid_argument for a non-positive size or a line size
    // smaller than its plane's width.
    explicit TestFrame(const FrameLayout& layout);

    int64_t timestampUs() const override { return m_layout.timestampUs; }
    int width() const override { return m_layout.width; }
    int height() const override { return m_layout.height; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override;
    int lineSize(int plane) const override;

    static int planeWidth(int width, int plane) { return plane == 0 ? width : (width + 1) / 2; }
    static int planeHeight(int height, int plane) { return plane == 0 ? height : (height + 1) / 2; }

private:
    FrameLayout m_layout;
    std::array<std::vector<uint8_t>, 3> m_planes;
};

}  // namespace qz::test_host
