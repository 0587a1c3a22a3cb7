// Colour conversion, normalisation and layouts against a double-precision
// reference computed here from the planes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "inference/preprocessing/colour_conversion.h"
#include "inference/preprocessing/resize_geometry.h"
#include "inference/preprocessing/vector_level.h"
#include "inference/preprocessing/yuv_preprocessing.h"
#include "support/prep_frames.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::ResizingMethod;
using qzai::VectorLevel;

namespace {

using prep_test::kFull;

TEST(PreprocessingColour, KnownValues) {
    auto constant = [](uint8_t value) { return [value](int, int) { return value; }; };
    const prep_test::TestYuvFrame white(3, 3, constant(255), constant(128), constant(128));
    const prep_test::TestYuvFrame black(3, 3, constant(0), constant(0), constant(0));
    auto w = qzai::convertFrameToRgb(white.planes(), 1);
    auto b = qzai::convertFrameToRgb(black.planes(), 1);
    ASSERT_EQ(w.size(), 27u);
    EXPECT_EQ(w[0], 255.0f);
    EXPECT_EQ(w[1], 255.0f);
    EXPECT_EQ(w[2], 255.0f);
    EXPECT_EQ(b[0], 0.0f);                  // from about -179.46
    EXPECT_NEAR(b[1], 135.459, 1e-3);
    EXPECT_EQ(b[2], 0.0f);                  // from about -226.82
    auto bytes = qzai::preprocessYuvToUint8(black.planes(), 3, 3, kFull, ResizingMethod::Stretch);
    ASSERT_TRUE(bytes);
    EXPECT_EQ((*bytes)[0], 0);
    EXPECT_EQ((*bytes)[1], 135);
    EXPECT_EQ((*bytes)[2], 0);
}

// Odd sizes, line sizes wider than the planes with poison in the gap,
// random chroma per block: float within 1e-3 of the reference, bytes the
// truncated reference (either neighbour at an integer tie).
TEST(PreprocessingColour, WholeFrameAndBytesMatchReference) {
    for (int layout : {0, 1}) {
        const auto f = prep_test::randomFrame(37, 23, 11u + static_cast<uint32_t>(layout), 5);
        auto rgb = qzai::convertFrameToRgb(f.planes(), static_cast<uint32_t>(layout));
        auto bytes = qzai::preprocessYuvToUint8(f.planes(), 37, 23, kFull, ResizingMethod::Stretch);
        ASSERT_EQ(rgb.size(), 37u * 23u * 3u);
        ASSERT_TRUE(bytes);
        const size_t plane = 37u * 23u;
        for (int y = 0; y < 23; ++y) {
            for (int x = 0; x < 37; ++x) {
                const auto ref = prep_test::referenceRgb(f, x, y);
                const size_t px = static_cast<size_t>(y * 37 + x);
                for (size_t c = 0; c < 3; ++c) {
                    const float got = layout == 0 ? rgb[c * plane + px] : rgb[3 * px + c];
                    EXPECT_NEAR(got, ref[c], 1e-3) << x << "," << y << " channel " << c;
                    const double floor = std::floor(ref[c]);
                    const int byte = (*bytes)[3 * px + c];
                    if (ref[c] - floor < 1e-3 || floor + 1 - ref[c] < 1e-3)
                        EXPECT_LE(std::abs(byte - std::round(ref[c])), 1.0);
                    else
                        EXPECT_EQ(byte, static_cast<int>(floor));
                }
            }
        }
    }
}

// A host frame whose V plane has its own line size (or reports none).
class OwnVStrideFrame : public prep_test::HostFrame {
public:
    OwnVStrideFrame(const prep_test::TestYuvFrame& f, const std::vector<uint8_t>& v, int vLineSize)
        : HostFrame(f), v_(v), vLineSize_(vLineSize) {}
    const uint8_t* data(int plane) const override { return plane == 2 ? v_.data() : HostFrame::data(plane); }
    int lineSize(int plane) const override { return plane == 2 ? vLineSize_ : HostFrame::lineSize(plane); }

private:
    const std::vector<uint8_t>& v_;
    int vLineSize_;
};

// Plane 2 is read with its own line size when the frame reports one, else
// with plane 1's.
TEST(PreprocessingColour, VPlaneLineSize) {
    const auto f = prep_test::randomFrame(37, 23, 4u, 3);
    const auto want = qzai::convertFrameToRgb(f.planes(), 1);
    const int wide = f.cLineSize + 9;
    std::vector<uint8_t> v(static_cast<size_t>(11 * wide + 19), 0xEE);  // 12 rows of 19
    for (int row = 0; row < 12; ++row)
        std::copy_n(f.v.begin() + row * f.cLineSize, 19, v.begin() + row * wide);
    using Case = std::pair<const std::vector<uint8_t>*, int>;
    for (const auto& [plane, lineSize] : {Case{&v, wide}, Case{&f.v, 0}}) {
        const OwnVStrideFrame host(f, *plane, lineSize);
        const auto got = qzai::convertFrameToRgb(&host, 1);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(std::memcmp(got.data(), want.data(), want.byteSize()), 0) << "line size " << lineSize;
    }
}

// (v - mean) / var per channel in planar and interleaved order, grey from
// the normalised values, and -mean/var in the padding bands of fit.
TEST(PreprocessingColour, NormalisationLayoutsAndGrey) {
    const auto f = prep_test::randomFrame(21, 9, 5u, 2);
    qzai::ModelInputDetails_t in;
    in.width = 21;
    in.height = 21;  // fit: 6 padding rows above, 6 below
    const float means[3] = {123.675f, 116.28f, 103.53f};
    const float vars[3] = {58.395f, 57.12f, 57.375f};
    std::copy(means, means + 3, in.means);
    std::copy(vars, vars + 3, in.vars);
    const size_t plane = 21u * 21u;
    for (int order : {0, 1}) {
        for (uint32_t channels : {3u, 1u}) {
            in.order = order;
            in.channels = channels;
            auto out = qzai::preprocessYuvToFloat(f.planes(), in, kFull, ResizingMethod::Fit);
            ASSERT_TRUE(out);
            ASSERT_EQ(out->size(), channels == 1 ? plane : 3 * plane);
            for (int r = 0; r < 21; ++r) {
                for (int x = 0; x < 21; ++x) {
                    const size_t px = static_cast<size_t>(r * 21 + x);
                    std::array<double, 3> want;
                    for (size_t c = 0; c < 3; ++c) want[c] = -static_cast<double>(means[c]) / vars[c];
                    if (r >= 6 && r < 15) {
                        const auto ref = prep_test::referenceRgb(f, x, r - 6);
                        for (size_t c = 0; c < 3; ++c) want[c] = (ref[c] - means[c]) / vars[c];
                    }
                    if (channels == 1) {
                        const double grey = 0.299 * want[0] + 0.587 * want[1] + 0.114 * want[2];
                        EXPECT_NEAR((*out)[px], grey, 1e-4 * (1 + std::abs(grey)));
                        continue;
                    }
                    for (size_t c = 0; c < 3; ++c) {
                        const float got = order == 0 ? (*out)[c * plane + px] : (*out)[3 * px + c];
                        EXPECT_NEAR(got, want[c], 1e-4 * (1 + std::abs(want[c])))
                            << "order " << order << " at " << x << "," << r << " channel " << c;
                    }
                }
            }
        }
    }
}

// Every target value equals, bit for bit, the one-pixel conversion of the
// source pixel the maps pick (padding: the normalised 0), whichever path
// the row takes: byte shuffles of one to eight loads a block (upscaling to
// about 1/8 scale), blocks moved back from a row's right end, pixels after
// the last whole block, gathers for stronger downscaling; both layouts and
// the byte road; long padding bands at any alignment; with each vector
// level the processor has.
// Lowers the vector level for its lifetime.
struct LevelCap {
    explicit LevelCap(VectorLevel level) { qzai::capVectorLevel(level); }
    ~LevelCap() { qzai::capVectorLevel(VectorLevel::Avx2); }
};

TEST(PreprocessingColour, EveryPathMatchesOnePixelConversion) {
    struct Case {
        int w, h, tw, th;
        float box[4];
        ResizingMethod method;
    };
    const Case cases[] = {
        {37, 23, 160, 150, {0, 0, 1, 1}, ResizingMethod::Fit},
        {200, 120, 90, 33, {0.1f, 0.25f, 0.9f, 0.8f}, ResizingMethod::Stretch},
        {333, 61, 61, 40, {0, 0, 1, 1}, ResizingMethod::Crop},
        {1023, 9, 171, 17, {0, 0, 1, 1}, ResizingMethod::Stretch},
        {1339, 15, 166, 24, {0.01f, 0, 1, 1}, ResizingMethod::Fit},
        {1500, 7, 50, 5, {0, 0, 1, 1}, ResizingMethod::Stretch},
        {64, 48, 640, 20, {0.5f, 0.5f, 1, 1}, ResizingMethod::Crop},
        {41, 13, 201, 120, {0, 0, 1, 1}, ResizingMethod::Fit},  // long bands, one not 16-byte aligned
    };
    const float means[3] = {123.675f, 116.28f, 103.53f};
    const float vars[3] = {58.395f, 57.12f, 57.375f};
    const auto norm = qzai::buildNormalisation(means, vars);
    for (const auto level : {VectorLevel::Avx2, VectorLevel::Baseline}) {
        const LevelCap cap(level);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " -> " << c.tw << "x" << c.th
                                            << ", vector level " << static_cast<int>(level));
            const auto f = prep_test::randomFrame(c.w, c.h, static_cast<uint32_t>(c.w), 3);
            const auto g = qzai::computeResizeGeometry(c.w, c.h, c.tw, c.th, c.box, c.method);
            const auto columns = qzai::buildColumnMap(g, c.tw);
            const auto rows = qzai::buildRowMap(g, c.th);
            qzai::ModelInputDetails_t in;
            in.width = static_cast<uint64_t>(c.tw);
            in.height = static_cast<uint64_t>(c.th);
            in.channels = 3;
            std::copy_n(means, 3, in.means);
            std::copy_n(vars, 3, in.vars);
            in.order = 0;
            const auto planar = qzai::preprocessYuvToFloat(f.planes(), in, c.box, c.method);
            in.order = 1;
            const auto interleaved = qzai::preprocessYuvToFloat(f.planes(), in, c.box, c.method);
            const auto bytes = qzai::preprocessYuvToUint8(f.planes(), in.width, in.height, c.box, c.method);
            ASSERT_TRUE(planar && interleaved && bytes);
            const size_t plane = static_cast<size_t>(c.tw) * static_cast<size_t>(c.th);
            int wrong = 0;
            for (int r = 0; r < c.th; ++r) {
                for (int x = 0; x < c.tw; ++x) {
                    // The one-pixel conversion of the mapped source pixel.
                    float value[3];
                    uint8_t byte[3] = {0, 0, 0};
                    std::copy_n(norm.offset, 3, value);
                    const int sx = columns[static_cast<size_t>(x)], sy = rows[static_cast<size_t>(r)];
                    if (sx >= 0 && sy >= 0) {
                        const size_t chroma = static_cast<size_t>((sy / 2) * f.cLineSize + sx / 2);
                        const uint8_t* y = &f.y[static_cast<size_t>(sy * f.yLineSize + sx)];
                        float* const dst[3] = {value, value + 1, value + 2};
                        qzai::convertYuvPixelsNormalised(y, &f.u[chroma], &f.v[chroma], 1, norm, true, dst);
                        float rgb[3];
                        qzai::convertYuvPixelsToRgb(y, &f.u[chroma], &f.v[chroma], 1, rgb, rgb + 1, rgb + 2);
                        qzai::storeRgbBytes(rgb, rgb + 1, rgb + 2, 1, byte);
                    }
                    const size_t px = static_cast<size_t>(r) * static_cast<size_t>(c.tw) + static_cast<size_t>(x);
                    for (size_t k = 0; k < 3; ++k) {
                        const auto want = std::bit_cast<uint32_t>(value[k]);
                        const bool same = std::bit_cast<uint32_t>((*planar)[k * plane + px]) == want &&
                                          std::bit_cast<uint32_t>((*interleaved)[3 * px + k]) == want &&
                                          (*bytes)[3 * px + k] == byte[k];
                        if (!same && ++wrong <= 3) ADD_FAILURE() << "at " << x << "," << r << " channel " << k;
                    }
                }
            }
            EXPECT_EQ(wrong, 0);
        }
    }
}

}  // namespace
