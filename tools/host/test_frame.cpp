#include "host/test_frame.h"

#include <algorithm>
#include <stdexcept>

namespace qz::test_host {

TestFrame::TestFrame(const FrameLayout& layout) : m_layout(layout) {
    if (layout.width <= 0 || layout.height <= 0) throw std::invalid_argument("TestFrame: size must be positive");
    const uint8_t fill[3] = {layout.y, layout.u, layout.v};
    for (int p = 0; p < 3; ++p) {
        const int w = planeWidth(layout.width, p);
        const int h = planeHeight(layout.height, p);
        int& lineSize = m_layout.lineSizes[static_cast<size_t>(p)];
        if (lineSize == 0) lineSize = w;
        if (lineSize < w) throw std::invalid_argument("TestFrame: line size smaller than the plane width");
        auto& plane = m_planes[static_cast<size_t>(p)];
        plane.assign(static_cast<size_t>(lineSize) * static_cast<size_t>(h), kPaddingByte);
        for (int row = 0; row < h; ++row)
            std::fill_n(plane.begin() + static_cast<ptrdiff_t>(row) * lineSize, w, fill[p]);
    }
    for (const Square& square : layout.squares) {
        const int x0 = std::max(0, square.x), y0 = std::max(0, square.y);
        const int x1 = std::min(layout.width, square.x + square.size);
        const int y1 = std::min(layout.height, square.y + square.size);
        for (int row = y0; row < y1; ++row)
            for (int col = x0; col < x1; ++col)
                m_planes[0][static_cast<size_t>(row) * m_layout.lineSizes[0] + col] = square.luma;
    }
}

const uint8_t* TestFrame::data(int plane) const {
    if (plane < 0 || plane >= 3) return nullptr;
    return m_planes[static_cast<size_t>(plane)].data();
}

int TestFrame::lineSize(int plane) const {
    if (plane < 0 || plane >= 3) return 0;
    return m_layout.lineSizes[static_cast<size_t>(plane)];
}

}  // namespace qz::test_host
