// Encode, then decode: known pixel boxes are written into each family's raw
// layout with the inverse of its geometry, decoded through the dispatch, and
// must come back within 1e-4 (relative). This catches axis swaps,
// centre/corner mix-ups, wrong strides and half-cell offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "decoder_test_util.h"
#include "inference/decoders/decoders.h"

using namespace decoder_test;

namespace {

struct Box {
    float x1, y1, x2, y2, score;
    int cls;
    int stride;  // grid decoders: the level the box is encoded on
};

struct Encoded {
    int width, height;
    std::vector<TensorDesc> tensors;
};

constexpr int kClasses = 3;

float logit(float p) { return std::log(p / (1.0f - p)); }

// The anchor cell holding the box centre, and the four side distances
// from the cell centre in units of the stride.
struct Anchor {
    int x, y;
    float d[4];
};
Anchor anchorFor(const Box& b) {
    const float s = static_cast<float>(b.stride);
    Anchor a{static_cast<int>((b.x1 + b.x2) / 2 / s), static_cast<int>((b.y1 + b.y2) / 2 / s), {}};
    const float ax = (a.x + 0.5f) * s, ay = (a.y + 0.5f) * s;
    const float d[4] = {(ax - b.x1) / s, (ay - b.y1) / s, (b.x2 - ax) / s, (b.y2 - ay) / s};
    std::copy(d, d + 4, a.d);
    return a;
}

// Bin logits log(p_j) whose expected index is d: weights 1 - f and f on
// bins floor(d) and floor(d) + 1, the rest (almost) nothing.
void putDistribution(float* bins, size_t step, int count, float d) {
    for (int j = 0; j < count; ++j) bins[j * step] = -100.0f;
    const int j = static_cast<int>(d);
    const float f = d - static_cast<float>(j);
    bins[j * step] = std::log(1.0f - f);
    if (f > 0.0f) bins[(j + 1) * step] = std::log(f);
}

Encoded yoloNas(const std::vector<Box>& boxes) {
    const int n = 8;
    std::vector<float> b(n * 4, 0.0f), s(n * kClasses, 0.05f);
    for (size_t i = 0; i < boxes.size(); ++i) {
        const Box& x = boxes[i];
        std::copy_n(std::begin({x.x1, x.y1, x.x2, x.y2}), 4, &b[i * 4]);
        s[i * kClasses + x.cls] = x.score;
    }
    return {640, 480, {floatTensor("out_boxes", {1, n, 4}, b), floatTensor("out_scores", {1, n, kClasses}, s)}};
}

// SSD and EfficientDet: normalised top, left, bottom, right.
std::vector<float> topLeftBottomRight(const std::vector<Box>& boxes, int n, float w, float h) {
    std::vector<float> v(n * 4, 0.0f);
    for (size_t i = 0; i < boxes.size(); ++i) {
        const Box& x = boxes[i];
        std::copy_n(std::begin({x.y1 / h, x.x1 / w, x.y2 / h, x.x2 / w}), 4, &v[i * 4]);
    }
    return v;
}

Encoded ssd(const std::vector<Box>& boxes) {
    const int n = 8, k = kClasses + 1;
    std::vector<float> s(n * k, 0.05f);
    for (size_t i = 0; i < boxes.size(); ++i) {
        s[i * k] = 0.95f;  // background column, never a class
        s[i * k + 1 + boxes[i].cls] = boxes[i].score;
    }
    return {640, 480, {floatTensor("box_encoding", {1, n, 4}, topLeftBottomRight(boxes, n, 640, 480)),
                       floatTensor("class_predictions", {1, n, k}, s)}};
}

Encoded efficientDet(const std::vector<Box>& boxes) {
    const int n = 8;
    std::vector<float> s(n, 0.0f), c(n, 1.0f);
    for (size_t i = 0; i < boxes.size(); ++i) {
        s[i] = boxes[i].score;
        c[i] = static_cast<float>(boxes[i].cls + 1);
    }
    return {640, 480, {floatTensor("detection_boxes", {1, n, 4}, topLeftBottomRight(boxes, n, 640, 480)),
                       floatTensor("detection_scores", {1, n}, s), floatTensor("detection_classes", {1, n}, c)}};
}

Encoded rtDetr(const std::vector<Box>& boxes) {
    const int n = 8;
    const float w = 640, h = 480;
    std::vector<float> b(n * 4, 0.0f), l(n * kClasses, 0.0f);
    for (size_t i = 0; i < boxes.size(); ++i) {
        const Box& x = boxes[i];
        std::copy_n(std::begin({(x.x1 + x.x2) / 2 / w, (x.y1 + x.y2) / 2 / h, (x.x2 - x.x1) / w, (x.y2 - x.y1) / h}),
                    4, &b[i * 4]);
        // p = e^L / (e^L + 2) over three columns.
        l[i * kClasses + x.cls] = std::log(2.0f * x.score / (1.0f - x.score));
    }
    return {640, 480, {floatTensor("pred_logits", {1, n, kClasses}, l), floatTensor("pred_boxes", {1, n, 4}, b)}};
}

Encoded rfDetr(const std::vector<Box>& boxes) {
    const int n = 8;
    const float w = 640, h = 480;
    std::vector<float> b(n * 4, 0.0f), s(n, 0.0f);
    std::vector<int32_t> labels(n, 0);
    for (size_t i = 0; i < boxes.size(); ++i) {
        const Box& x = boxes[i];
        std::copy_n(std::begin({x.x1 / w, x.y1 / h, x.x2 / w, x.y2 / h}), 4, &b[i * 4]);
        s[i] = x.score;
        labels[i] = x.cls;
    }
    TensorDesc l = floatTensor("labels", {1, n}, {});
    l.elementType = QZ_ELEMENT_INT32;
    l.raw.resize(n * 4);
    std::memcpy(l.raw.data(), labels.data(), l.raw.size());
    return {640, 480, {floatTensor("scores", {1, n}, s), floatTensor("boxes", {1, n, 4}, b), l}};
}

// NanoDet rows: class logits, then 4 x 8 distribution logits.
void putNanoDetRow(float* row, int classes, const Box& b, const Anchor& a) {
    row[b.cls] = logit(b.score);
    for (int side = 0; side < 4; ++side) putDistribution(row + classes + side * 8, 1, 8, a.d[side]);
}

// One tensor: the 320-input model with strides 8, 16, 32.
Encoded encodeNanoDetSingle(const std::vector<Box>& boxes) {
    const int rowSize = kClasses + 32, fm[3] = {40, 20, 10}, offset[3] = {0, 1600, 2000};
    std::vector<float> v(2100 * rowSize, -5.0f);
    for (const Box& b : boxes) {
        const Anchor a = anchorFor(b);
        const int level = b.stride == 8 ? 0 : b.stride == 16 ? 1 : 2;
        putNanoDetRow(&v[(offset[level] + a.y * fm[level] + a.x) * rowSize], kClasses, b, a);
    }
    return {320, 320, {floatTensor("", {1, 2100, rowSize}, v)}};
}

// Per-level pairs of the 416-input model with four strides (feature maps
// 52, 26, 13, 7), distribution tensors first and levels out of order.
Encoded encodeNanoDetPairs(const std::vector<Box>& boxes) {
    const int classes = 33, sides[4] = {7, 26, 52, 13};
    std::vector<TensorDesc> cls, dist;
    for (const int fm : sides) {
        const int stride = 416 / fm + (fm == 7 ? 5 : 0);  // 64, 16, 8, 32
        std::vector<float> c(fm * fm * classes, -5.0f), d(fm * fm * 32, 0.0f);
        for (const Box& b : boxes) {
            if (b.stride != stride) continue;
            const Anchor a = anchorFor(b);
            const int anchor = a.y * fm + a.x;
            c[anchor * classes + b.cls] = logit(b.score);
            for (int side = 0; side < 4; ++side) putDistribution(&d[anchor * 32 + side * 8], 1, 8, a.d[side]);
        }
        cls.push_back(floatTensor("cls", {1, fm * fm, classes}, c));
        dist.push_back(floatTensor("dist", {1, fm * fm, 32}, d));
    }
    dist.insert(dist.end(), cls.begin(), cls.end());
    return {416, 416, dist};
}

// Three channel-first levels of a 64-pixel input (8, 4 and 2 cells), the
// six tensors interleaved out of order.
Encoded deepX(const std::vector<Box>& boxes) {
    std::vector<TensorDesc> reg, cls;
    for (const int side : {2, 8, 4}) {
        const size_t plane = side * side;
        std::vector<float> r(64 * plane, 0.0f), c(kClasses * plane, 0.01f);
        for (const Box& b : boxes) {
            if (b.stride != 64 / side) continue;
            const Anchor a = anchorFor(b);
            const size_t cell = a.y * side + a.x;
            c[b.cls * plane + cell] = b.score;
            for (int k = 0; k < 4; ++k) putDistribution(&r[k * 16 * plane + cell], plane, 16, a.d[k]);
        }
        reg.push_back(floatTensor("reg", {1, 64, side, side}, r));
        cls.push_back(floatTensor("cls", {1, kClasses, side, side}, c));
    }
    return {64, 64, {cls[1], reg[0], cls[2], reg[2], cls[0], reg[1]}};
}

struct RoundTrip {
    const char* name;
    int32_t architecture;
    std::function<Encoded(const std::vector<Box>&)> encode;
    std::vector<Box> boxes;
};

const std::vector<Box> kPlainBoxes = {
    {40, 60, 200, 300, 0.9f, 2, 0}, {300, 20, 420, 90, 0.8f, 0, 0}, {500, 300, 630, 470, 0.7f, 1, 0}};

const RoundTrip kRoundTrips[] = {
    {"YoloNas", 3, yoloNas, kPlainBoxes},
    {"Ssd", 6, ssd, kPlainBoxes},
    {"EfficientDet", 7, efficientDet, kPlainBoxes},
    {"RtDetr", 4, rtDetr, kPlainBoxes},
    {"RfDetr", 5, rfDetr, kPlainBoxes},
    {"NanoDetSingleTensor", 8, encodeNanoDetSingle,
     {{20, 30, 60, 70, 0.9f, 1, 8}, {100, 100, 200, 180, 0.8f, 2, 16}, {200, 200, 310, 300, 0.7f, 0, 32}}},
    {"NanoDetLevelPairs", 8, encodeNanoDetPairs,
     {{20, 30, 60, 70, 0.9f, 1, 8},
      {100, 100, 200, 180, 0.8f, 2, 16},
      {220, 40, 330, 150, 0.7f, 0, 32},
      {150, 250, 330, 400, 0.6f, 1, 64}}},
    {"YoloV8DeepX", 9, deepX,
     {{10, 12, 30, 28, 0.9f, 1, 8}, {40, 2, 62, 26, 0.8f, 2, 16}, {2, 36, 60, 62, 0.7f, 0, 32}}},
};

class RoundTripTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTripTest, DecodesTheEncodedBoxes) {
    const RoundTrip& c = GetParam();
    const Encoded encoded = c.encode(c.boxes);
    SetPtr input = makeSet(encoded.tensors, 11);
    LogCapture log;
    SetPtr out(qzai::runDetectionPostprocessor(c.architecture, input.get(), 0.5f, 0.45f, encoded.width,
                                               encoded.height));
    EXPECT_TRUE(log.warnings.empty()) << log.warnings[0];
    ASSERT_EQ(out->id, 11u);
    std::vector<float> rows = resultValues(out.get());
    ASSERT_EQ(rows.size(), c.boxes.size() * 6);
    // Compared by descending score, whatever order the family reports in.
    std::vector<Box> expected = c.boxes;
    std::sort(expected.begin(), expected.end(), [](const Box& a, const Box& b) { return a.score > b.score; });
    std::vector<size_t> order(c.boxes.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return rows[a * 6 + 4] > rows[b * 6 + 4]; });
    for (size_t i = 0; i < expected.size(); ++i) {
        const Box& e = expected[i];
        const float want[6] = {e.x1, e.y1, e.x2, e.y2, e.score, static_cast<float>(e.cls)};
        for (int v = 0; v < 6; ++v) {
            EXPECT_NEAR(rows[order[i] * 6 + v], want[v], 1e-4f * std::max(1.0f, std::fabs(want[v])))
                << "box " << i << " value " << v;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, RoundTripTest, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
