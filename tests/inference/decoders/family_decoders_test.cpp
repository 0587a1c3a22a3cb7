// The seven box-and-score, DETR and distribution decoders on hand-made
// outputs whose expected detections are worked out in the comments, and
// every warning they give, word for word.
#include <gtest/gtest.h>

#include <cmath>

#include "decoder_test_util.h"

using namespace decoder_test;

namespace {

std::vector<float> filled(size_t n, float v) { return std::vector<float>(n, v); }

void expectRows(const std::vector<float>& actual, const std::vector<float>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-4f) << "value " << i;
}

struct WarningCase {
    const char* name;
    int32_t architecture;
    std::vector<TensorDesc> tensors;
    const char* warning;
    int32_t height = 640;
};

std::ostream& operator<<(std::ostream& os, const WarningCase& c) { return os << c.name; }

TensorDesc deepXTensor(int channels, int side) {
    return floatTensor("t", {1, channels, side, side}, filled(channels * side * side, 0.0f));
}
std::vector<TensorDesc> deepXSet(std::vector<std::pair<int, int>> channelsAndSides) {
    std::vector<TensorDesc> set;
    for (const auto& [c, s] : channelsAndSides) set.push_back(deepXTensor(c, s));
    return set;
}
// Format B pairs [1, A, classes] + [1, A, 32] per anchor count.
std::vector<TensorDesc> nanoDetPairs(std::vector<int> anchors, int classes = 80) {
    std::vector<TensorDesc> set;
    for (const int a : anchors) {
        set.push_back(floatTensor("cls", {1, a, classes}, filled(a * classes, 0.0f)));
        set.push_back(floatTensor("dist", {1, a, 32}, filled(a * 32, 0.0f)));
    }
    return set;
}

const TensorDesc kBoxes10 = floatTensor("boxes", {1, 10, 4}, filled(40, 0.5f));
const TensorDesc kScores10 = floatTensor("scores", {1, 10}, filled(10, 0.5f));
TensorDesc uint8Named(const char* name, std::vector<int32_t> shape, size_t bytes) {
    TensorDesc t = floatTensor(name, shape, {});
    t.elementType = QZ_ELEMENT_UINT8;
    t.raw.assign(bytes, 1);
    return t;
}

const WarningCase kWarnings[] = {
    {"SsdWithoutSize", 6, {}, "Warning! [SSD] image_width and image_height must be set to scale normalized "
                              "coordinates to model input pixel space.\n", 0},
    {"EfficientDetWithoutSize", 7, {}, "Warning! [EfficientDet] image_width and image_height must be set to scale "
                                       "normalized coordinates to model input pixel space.\n", 0},
    {"RtDetrWithoutSize", 4, {}, "Warning! [RT-DETR] image_width and image_height must be set to scale normalized "
                                 "coordinates to model input pixel space.\n", 0},
    {"RfDetrWithoutSize", 5, {}, "Warning! [RF-DETR] image_width and image_height must be set to scale normalized "
                                 "coordinates to model input pixel space.\n", 0},
    {"SsdOneScoreColumn", 6, {kBoxes10, floatTensor("scores", {1, 10, 1}, filled(10, 0.9f))},
     "Warning! [SSD] Need at least 2 score columns (background + 1 class), got 1.\n"},
    {"YoloNasBatchOfTwo", 3, {floatTensor("boxes", {2, 10, 4}, filled(80, 1)), floatTensor("scores", {1, 10, 3}, filled(30, 1))},
     "Warning! [YOLO-NAS] Unexpected boxes rank 3.\n"},
    {"YoloNasScoresShort", 3, {kBoxes10, floatTensor("scores", {1, 9, 3}, filled(27, 0.9f))},
     "Warning! [YOLO-NAS] Tensor 1 holds 108 bytes, needs 120.\n"},
    {"YoloNasUnnamedBoxesOnly", 3, {floatTensor("", {1, 10, 4}, filled(40, 1))},
     "Warning! [YOLO-NAS] Could not locate required tensors (boxes=0, scores=-1).\n"},
    {"EfficientDetWithoutClasses", 7, {kBoxes10, kScores10},
     "Warning! [EfficientDet] Could not locate required tensors (boxes=0, scores=1, classes=-1).\n"},
    {"EfficientDetBoxesShort", 7, {floatTensor("boxes", {1, 9, 4}, filled(36, 0.5f)), kScores10, floatTensor("classes", {10}, filled(10, 1))},
     "Warning! [EfficientDet] Tensor 0 holds 144 bytes, needs 160.\n"},
    {"RtDetrQuantisedByName", 4, {uint8Named("logits", {1, 10, 80}, 800), kBoxes10},
     "Warning! [RT-DETR] logits or boxes tensor is not FLOAT.\n"},
    {"RtDetrNoLogitColumns", 4, {floatTensor("pred_logits", {1, 300, 0}, {}), floatTensor("pred_boxes", {1, 300, 4}, filled(1200, 0.5f))},
     "Warning! [RT-DETR] Need at least 1 logit per query, got 0.\n"},
    {"RfDetrUint8Labels", 5, {kScores10, kBoxes10, uint8Named("labels", {1, 10}, 10)},
     "Warning! [RF-DETR] Unsupported labels dtype 2.\n"},
    {"RfDetrBatchOfTwo", 5, {floatTensor("scores", {2, 300}, filled(600, 0.5f)), floatTensor("boxes", {1, 300, 4}, filled(1200, 0.5f)), floatTensor("labels", {300}, filled(300, 1))},
     "Warning! [RF-DETR] Unexpected scores rank 2.\n"},
    {"RfDetrLabelsShort", 5, {kScores10, kBoxes10, int64Tensor("labels", {1, 9}, std::vector<int64_t>(9, 1))},
     "Warning! [RF-DETR] Tensor 2 holds 72 bytes, needs 80.\n"},
    {"NanoDetUnknownCount", 8, {floatTensor("", {1, 2000, 112}, filled(2000 * 112, 0))},
     "Warning! [NanoDet] Format A: cannot match N=2000 to a known input-size/stride configuration.\n"},
    {"NanoDetNoClasses", 8, {floatTensor("", {1, 2100, 32}, filled(2100 * 32, 0))},
     "Warning! [NanoDet] Format A: last_dim 32 too small.\n"},
    {"NanoDetOnePair", 8, nanoDetPairs({1600}), "Warning! [NanoDet] Format B: need at least 2 stride levels.\n"},
    {"NanoDetTwentyClasses", 8, nanoDetPairs({1600, 400}, 20),
     "Warning! [NanoDet] Format B: no matching cls/dist tensor pairs found.\n"},
    {"NanoDetNoAnchors", 8, nanoDetPairs({0, 0}), "Warning! [NanoDet] Format B: no matching cls/dist tensor pairs found.\n"},
    {"NanoDetNotSquare", 8, nanoDetPairs({1600, 399}), "Warning! [NanoDet] Format B: num_anchors=399 is not a perfect square.\n"},
    {"NanoDetUnpaired", 8, {nanoDetPairs({1600})[0], nanoDetPairs({400})[0], nanoDetPairs({1600})[1]},
     "Warning! [NanoDet] Format B: no dist tensor for num_anchors=400.\n"},
    {"DeepXSevenTensors", 9, deepXSet({{64, 4}, {64, 2}, {64, 1}, {3, 4}, {3, 2}, {3, 1}, {3, 1}}),
     "Warning! [YOLOv8-DeepX] Expected exactly 6 output tensors (3 reg/cls pairs), got 7.\n"},
    {"DeepXFiveTensors", 9, deepXSet({{64, 4}, {64, 2}, {64, 1}, {3, 4}, {3, 2}}),
     "Warning! [YOLOv8-DeepX] Expected exactly 6 output tensors (3 reg/cls pairs), got 5.\n"},
    {"DeepXFourRegressions", 9, deepXSet({{64, 4}, {64, 2}, {64, 1}, {64, 1}, {3, 2}, {3, 1}}),
     "Warning! [YOLOv8-DeepX] Could not identify 3 reg + 3 cls tensors (reg=4, cls=2).\n"},
    {"DeepXSizesApart", 9, deepXSet({{64, 4}, {64, 2}, {64, 1}, {3, 4}, {3, 3}, {3, 1}}),
     "Warning! [YOLOv8-DeepX] No cls tensor matches reg tensor's spatial size (2x2).\n"},
};

class DecoderWarning : public ::testing::TestWithParam<WarningCase> {};

TEST_P(DecoderWarning, IsLoggedOnceAndGivesNoDetections) {
    const WarningCase& c = GetParam();
    const Decoded out = decodeWith(c.architecture, c.tensors, 0.25f, 640, c.height);
    EXPECT_EQ(out.id, 7u);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_EQ(out.warnings, std::vector<std::string>{c.warning});
}

INSTANTIATE_TEST_SUITE_P(Families, DecoderWarning, ::testing::ValuesIn(kWarnings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Ssd, SkipsTheBackgroundColumnAndScalesTopLeftBottomRight) {
    // (top, left, bottom, right) = (0.1, 0.2, 0.5, 0.6) at 300 x 300 gives
    // x1 = 0.2 * 300 = 60, y1 = 0.1 * 300 = 30, x2 = 180, y2 = 150. Of the
    // scores (0.9, 0.2, 0.1) the background 0.9 never counts: class 0 at 0.2.
    const std::vector<TensorDesc> in = {floatTensor("boxes", {1, 1, 4}, {0.1f, 0.2f, 0.5f, 0.6f}),
                                        floatTensor("scores", {1, 1, 3}, {0.9f, 0.2f, 0.1f})};
    EXPECT_TRUE(decodeWith(6, in, 0.25f, 300, 300).rows.empty());
    expectRows(decodeWith(6, in, 0.15f, 300, 300).rows, {60, 30, 180, 150, 0.2f, 0});
}

TEST(EfficientDet, ClassesAreOneBasedAndTheCountLimitsTheRows) {
    // Slot i: score 0.9, box (0.1, 0.2, 0.3, 0.4) -> (20, 10, 40, 30) at
    // 100 x 100. Classes 1.0 -> 0, 0.0 -> 0 (clamped), 3.7 -> 3 - 1 = 2;
    // values that are no class index skip their slot.
    const std::vector<float> classes = {1.0f, 0.0f, 3.7f, NAN, 1e30f, -1.0f, INFINITY, 2.0f};
    std::vector<float> boxes;
    for (size_t i = 0; i < classes.size(); ++i) boxes.insert(boxes.end(), {0.1f, 0.2f, 0.3f, 0.4f});
    auto run = [&](std::vector<float> count) {
        std::vector<TensorDesc> in = {floatTensor("detection_boxes", {1, 8, 4}, boxes),
                                      floatTensor("detection_scores", {1, 8}, filled(8, 0.9f)),
                                      floatTensor("detection_classes", {1, 8}, classes)};
        if (!count.empty()) in.push_back(floatTensor("num_detections", {1}, count));
        std::vector<float> found;
        const Decoded out = decodeWith(7, in, 0.25f, 100, 100);
        EXPECT_TRUE(out.warnings.empty());
        for (size_t r = 0; r < out.rows.size(); r += 6) found.push_back(out.rows[r + 5]);
        return found;
    };
    expectRows(decodeWith(7, {floatTensor("boxes", {1, 4}, {0.1f, 0.2f, 0.3f, 0.4f}), floatTensor("scores", {1}, {0.9f}),
                              floatTensor("classes", {1}, {1.0f})}, 0.25f, 100, 100).rows,
               {20, 10, 40, 30, 0.9f, 0});
    EXPECT_EQ(run({}), (std::vector<float>{0, 0, 2, 1}));
    EXPECT_EQ(run({2.0f}), (std::vector<float>{0, 0}));
    // Counts that are not finite or not below N change nothing; negative means none.
    for (const float count : {NAN, INFINITY, -INFINITY, 1e30f, 8.0f}) EXPECT_EQ(run({count}).size(), 4u) << count;
    EXPECT_TRUE(run({-3.0f}).empty());
}

TEST(EfficientDet, HundredSlotsWithCountFiveReadFive) {
    std::vector<TensorDesc> in = {floatTensor("detection_boxes", {1, 100, 4}, filled(400, 0.5f)),
                                  floatTensor("detection_scores", {1, 100}, filled(100, 0.9f)),
                                  floatTensor("detection_classes", {1, 100}, filled(100, 1.0f)),
                                  floatTensor("num_detections", {1}, {5.0f})};
    EXPECT_EQ(decodeWith(7, in, 0.25f).rows.size(), 5u * 6);
    // The count decides what is read: boxes and classes holding only five rows suffice.
    in[0] = floatTensor("detection_boxes", {1, 5, 4}, filled(20, 0.5f));
    in[2] = floatTensor("detection_classes", {1, 5}, filled(5, 1.0f));
    EXPECT_EQ(decodeWith(7, in, 0.25f).rows.size(), 5u * 6);
}

TEST(YoloNas, FindsTensorsByNameFragmentOrByShape) {
    // Row 0 scores (0.1, 0.8, 0.8): the first of equal maxima, class 1.
    const std::vector<float> box = {1, 2, 3, 4}, scores = {0.1f, 0.8f, 0.8f};
    expectRows(decodeWith(3, {floatTensor("out_scores", {1, 1, 3}, scores), floatTensor("out_boxes", {1, 1, 4}, box)}, 0.25f).rows,
               {1, 2, 3, 4, 0.8f, 1});
    // Unnamed: the [1, ., >4] tensor is the scores, the [1, ., 4] one the boxes.
    const std::vector<float> wide = {0.1f, 0.2f, 0.3f, 0.9f, 0.4f};
    // The first of two [1, ., 4] tensors stays the boxes.
    expectRows(decodeWith(3, {floatTensor("a", {1, 1, 5}, wide), floatTensor("b", {1, 1, 4}, box),
                              floatTensor("c", {1, 1, 4}, {5, 6, 7, 8})}, 0.25f).rows,
               {1, 2, 3, 4, 0.9f, 3});
}

TEST(RtDetr, SoftmaxOverEveryColumnAndCentreSizeBoxes) {
    // Logits (2, 2, 0): p = e^2 / (2 e^2 + 1) = 1 / (2 + e^-2) = 0.468311,
    // class 0. Box (0.5, 0.5, 0.2, 0.4) at 640: 320 -+ 64, 320 -+ 128.
    const TensorDesc boxes = floatTensor("pred_boxes", {1, 1, 4}, {0.5f, 0.5f, 0.2f, 0.4f});
    expectRows(decodeWith(4, {floatTensor("pred_logits", {1, 1, 3}, {2, 2, 0}), boxes}, 0.25f).rows,
               {256, 192, 384, 448, 0.468311f, 0});
    // 80 equal logits: 1/80 each, below 0.25.
    EXPECT_TRUE(decodeWith(4, {floatTensor("pred_logits", {1, 1, 80}, filled(80, 3)), boxes}, 0.25f).rows.empty());
    // Boxes not found by name: the fallback's later [1, ., >4] tensor
    // replaces the logits found by name (class 5 wins there, not class 1).
    std::vector<float> named = filled(91, 0), later = filled(91, 0);
    named[1] = later[5] = 10;
    const Decoded out = decodeWith(4, {floatTensor("pred_logits", {1, 1, 91}, named), floatTensor("", {1, 1, 4}, {0.5f, 0.5f, 0.2f, 0.4f}),
                                       floatTensor("", {1, 1, 91}, later)}, 0.25f);
    ASSERT_EQ(out.rows.size(), 6u);
    EXPECT_EQ(out.rows[5], 5.0f);
    // Nothing to decode is not a warning for this family.
    const Decoded none = decodeWith(4, {floatTensor("", {1, 300, 4}, filled(1200, 0))}, 0.25f);
    EXPECT_TRUE(none.warnings.empty());
    EXPECT_EQ(none.verbose, std::vector<std::string>{
        "[RT-DETR] Could not identify a Format A logits/boxes pair; Format B is not supported.\n"});
}

TEST(RfDetr, ReadsInt64LabelsByValue) {
    // (x1, y1, x2, y2) = (0.1, 0.2, 0.3, 0.4) at 640 x 480 -> (64, 96, 192, 192).
    const Decoded out = decodeWith(5, {floatTensor("scores", {1, 2}, {0.9f, 0.1f}), floatTensor("boxes", {1, 2, 4}, {0.1f, 0.2f, 0.3f, 0.4f, 0, 0, 1, 1}),
                                       int64Tensor("labels", {1, 2}, {17, 3})}, 0.25f, 640, 480);
    expectRows(out.rows, {64, 96, 192, 192, 0.9f, 17});
}

// A single NanoDet tensor of `n` rows of 80 class scores and 32 uniform
// distribution values (mean bin 3.5), with class 79 at 0.9 on one anchor.
std::vector<TensorDesc> nanoDetSingle(int n, int anchor) {
    std::vector<float> v = filled(static_cast<size_t>(n) * 112, 0.0f);
    v[static_cast<size_t>(anchor) * 112 + 79] = 0.9f;
    return {floatTensor("", {1, n, 112}, v)};
}

TEST(NanoDet, SingleTensorLevelsFollowTheSizeTable) {
    // N = 2100: input 320, strides 8, 16, 32 (40^2 + 20^2 + 10^2). Anchor
    // 2043 = 2000 + 4 * 10 + 3 is cell (3, 4) of stride 32: centre (112, 144);
    // every side 3.5 * 32 = 112.
    expectRows(decodeWith(8, nanoDetSingle(2100, 2043), 0.25f).rows, {0, 32, 224, 256, 0.9f, 79});
    // N = 2125 adds stride 64 (5 x 5): anchor 2111 = 2100 + 2 * 5 + 1 is cell
    // (1, 2), centre (96, 160); sides 3.5 * 64 = 224.
    expectRows(decodeWith(8, nanoDetSingle(2125, 2111), 0.25f).rows, {-128, -64, 320, 384, 0.9f, 79});
}

TEST(NanoDet, OneProbedValueOutsideZeroToOneMakesTheLevelLogits) {
    // The 5 x 5 level probes every anchor: 1.5 on anchor 2100 turns the whole
    // level to logits, so 0.9 becomes sigmoid(0.9) = 0.710950.
    // (The level's zeros become 0.5, below conf 0.7.)
    std::vector<TensorDesc> in = nanoDetSingle(2125, 2111);
    in[0].values[2100 * 112] = 1.5f;
    const Decoded out = decodeWith(8, in, 0.7f);
    ASSERT_EQ(out.rows.size(), 12u);
    EXPECT_NEAR(out.rows[4], 0.817574f, 1e-5f);  // sigmoid(1.5), anchor 2100
    EXPECT_NEAR(out.rows[10], 0.710950f, 1e-5f);
}

TEST(YoloV8DeepX, KeepsScoresAboveConfAndSuppressesAcrossClasses) {
    // Uniform bins put every side 7.5 cells from the cell centre: cell (0, 0)
    // of the 4 x 4 level (stride 8) gives (0.5 - 7.5) * 8 = -56 to 64, cell
    // (1, 0) -48 to 72; they overlap by 112 * 120 / (2 * 120^2 - 112 * 120) = 0.875.
    std::vector<TensorDesc> in = deepXSet({{64, 4}, {64, 2}, {64, 1}, {2, 4}, {2, 2}, {2, 1}});
    in[3].values[0] = 0.25f;  // class 0 equal to conf: dropped
    EXPECT_TRUE(decodeWith(9, in, 0.25f).rows.empty());
    in[3].values[0] = 0.6f;       // class 0, cell (0, 0)
    in[3].values[16 + 1] = 0.5f;  // class 1, cell (1, 0)
    expectRows(decodeWith(9, in, 0.25f, 640, 640, 0.85f).rows, {-56, -56, 64, 64, 0.6f, 0});
    expectRows(decodeWith(9, in, 0.25f, 640, 640, 0.9f).rows,
               {-56, -56, 64, 64, 0.6f, 0, -48, -56, 72, 64, 0.5f, 1});
}

}  // namespace
