// Resize geometry and sampling positions. Sampling is read back from pixel
// values: with U = V = 128 every output byte equals the sampled Y, and Y
// encodes the source column (or row) + 1, so 0 marks padding.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "inference/preprocessing/resize_geometry.h"
#include "inference/preprocessing/yuv_preprocessing.h"
#include "support/prep_frames.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::ResizingMethod;

namespace {

using prep_test::kFull;

TEST(PreprocessingGeometry, WorkedNumbers) {
    auto fit = qzai::computeResizeGeometry(1920, 1080, 640, 640, kFull, ResizingMethod::Fit);
    EXPECT_EQ(fit.placedWidth, 640);
    EXPECT_EQ(fit.placedHeight, 360);
    EXPECT_EQ(fit.offsetX, 0);
    EXPECT_EQ(fit.offsetY, 140);
    auto rows = qzai::buildRowMap(fit, 640);
    EXPECT_EQ(rows[139], -1);
    EXPECT_EQ(rows[140], 0);
    EXPECT_EQ(rows[499], 1077);
    EXPECT_EQ(rows[500], -1);

    auto fill = qzai::computeResizeGeometry(1920, 1080, 640, 640, kFull, ResizingMethod::Crop);
    EXPECT_EQ(fill.placedWidth, 1137);
    EXPECT_EQ(fill.offsetX, -248);  // truncated toward zero, not floored
    auto cols = qzai::buildColumnMap(fill, 640);
    EXPECT_EQ(qzai::findMappedRun(cols).begin, 0);
    EXPECT_EQ(qzai::findMappedRun(cols).end, 640);

    const float reversed[4] = {0.6f, 0.0f, 0.2f, 1.0f};
    auto one = qzai::computeResizeGeometry(100, 50, 64, 64, reversed, ResizingMethod::Stretch);
    EXPECT_EQ(one.cropX, 60);
    EXPECT_EQ(one.cropWidth, 1);
    for (int32_t c : qzai::buildColumnMap(one, 64)) EXPECT_EQ(c, 60);

    const float column[4] = {0.5f, 0.0f, 0.5f, 1.0f};
    auto thin = qzai::computeResizeGeometry(100, 2000, 64, 64, column, ResizingMethod::Fit);
    EXPECT_EQ(thin.placedWidth, 0);
    for (int32_t c : qzai::buildColumnMap(thin, 64)) EXPECT_EQ(c, -1);
}

TEST(PreprocessingGeometry, CropValuesSaturateAndNaNCountsAsZero) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float wild[4] = {nan, -inf, 1e30f, nan};
    auto g = qzai::computeResizeGeometry(320, 240, 64, 64, wild, ResizingMethod::Stretch);
    EXPECT_EQ(g.cropX, 0);
    EXPECT_EQ(g.cropWidth, 320);
    EXPECT_EQ(g.cropY, 0);
    EXPECT_EQ(g.cropHeight, 1);  // NaN end -> 0 -> at least one row
    const float outside[4] = {inf, 2.0f, -1e30f, -inf};
    g = qzai::computeResizeGeometry(320, 240, 64, 64, outside, ResizingMethod::Fit);
    EXPECT_EQ(g.cropX, 319);
    EXPECT_EQ(g.cropY, 239);
    EXPECT_EQ(g.cropWidth, 1);
    EXPECT_EQ(g.cropHeight, 1);
    EXPECT_EQ(qzai::saturatingTruncate(-2.9f), -2);
}

// The source index a target index should read, in double precision:
// truncation toward zero of (i - offset) * crop / placed; -1 for padding.
// `tie` is set when the exact product lies within 1e-4 of an integer, where
// float rounding may pick the neighbour.
int expectedSource(int i, int offset, int cropStart, int crop, int placed, bool& tie) {
    const double exact = static_cast<double>(i - offset) * crop / placed;
    tie = std::abs(exact - std::round(exact)) < 1e-4;
    const int k = static_cast<int>(std::trunc(exact));
    return k >= 0 && k < crop ? cropStart + k : -1;
}

struct SamplingCase {
    int w, h, tw, th;
    float box[4];
    ResizingMethod method;
};

TEST(PreprocessingGeometry, SampledPixelsMatchDoubleMapping) {
    const SamplingCase cases[] = {
        {200, 120, 64, 64, {0, 0, 1, 1}, ResizingMethod::Fit},
        {200, 120, 64, 64, {0, 0, 1, 1}, ResizingMethod::Crop},
        {200, 120, 90, 33, {0.1f, 0.25f, 0.9f, 0.8f}, ResizingMethod::Stretch},
        {37, 23, 160, 150, {0, 0, 1, 1}, ResizingMethod::Fit},       // upscaling
        {37, 23, 161, 149, {0.2f, 0.1f, 0.7f, 0.9f}, ResizingMethod::Crop},
        {150, 199, 77, 91, {0.33f, 0.0f, 1.0f, 0.5f}, ResizingMethod::Fit},
        {120, 80, 64, 64, {0, 0, 1, 1}, static_cast<ResizingMethod>(7)},  // behaves as Stretch
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " -> " << c.tw << "x" << c.th
                                        << " method " << static_cast<int>(c.method));
        auto g = qzai::computeResizeGeometry(c.w, c.h, c.tw, c.th, c.box, c.method);
        for (int axis = 0; axis < 2; ++axis) {
            const auto f = prep_test::greyFrame(c.w, c.h, [axis](int x, int y) -> uint8_t {
                return static_cast<uint8_t>((axis == 0 ? x : y) + 1);
            }, 3);
            auto out = qzai::preprocessYuvToUint8(f.planes(), c.tw, c.th, c.box, c.method);
            ASSERT_TRUE(out);
            const int targets = axis == 0 ? c.tw : c.th;
            const int offset = axis == 0 ? g.offsetX : g.offsetY;
            const int cropStart = axis == 0 ? g.cropX : g.cropY;
            const int crop = axis == 0 ? g.cropWidth : g.cropHeight;
            const int placed = axis == 0 ? g.placedWidth : g.placedHeight;
            // Read along the middle of the other axis, where no padding is.
            const int across = (axis == 0 ? c.th : c.tw) / 2;
            int previous = -1;
            for (int i = 0; i < targets; ++i) {
                const size_t px = axis == 0 ? static_cast<size_t>(across * c.tw + i)
                                            : static_cast<size_t>(i * c.tw + across);
                const int got = (*out)[3 * px] - 1;
                bool tie = false;
                const int want = expectedSource(i, offset, cropStart, crop, placed, tie);
                if (tie && got >= 0 && want >= 0) {
                    EXPECT_LE(std::abs(got - want), 1) << "at " << i;
                } else {
                    EXPECT_EQ(got, want) << "at " << i;
                }
                if (got >= 0) {
                    EXPECT_GE(got, cropStart);
                    EXPECT_LT(got, cropStart + crop);
                    if (previous < 0 && offset >= 0) {
                        EXPECT_EQ(got, cropStart) << "first mapped index";
                    }
                    EXPECT_GE(got, previous);
                    previous = got;
                }
            }
        }
    }
}

}  // namespace
