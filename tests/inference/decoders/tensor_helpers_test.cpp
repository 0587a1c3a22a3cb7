#include "inference/tensor_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "inference/inference_types.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

TEST(DataTypeFromString, MatchesExactNamesOnly) {
    EXPECT_EQ(qzai::dataTypeFromString("float"), 1);
    EXPECT_EQ(qzai::dataTypeFromString("FLOAT"), 1);
    EXPECT_EQ(qzai::dataTypeFromString("int"), 6);
    EXPECT_EQ(qzai::dataTypeFromString("UINT64"), 13);
    EXPECT_EQ(qzai::dataTypeFromString("bool"), 9);
    EXPECT_EQ(qzai::dataTypeFromString("Float"), 0);
    EXPECT_EQ(qzai::dataTypeFromString("uint8"), 0);
    EXPECT_EQ(qzai::dataTypeFromString("float16"), 0);
    EXPECT_EQ(qzai::dataTypeFromString(""), 0);
}

TEST(ComputeIoU, EdgeCases) {
    const qzai::BoxXywh a{10, 10, 20, 20};
    EXPECT_FLOAT_EQ(qzai::computeIoU(a, a), 1.0f);
    EXPECT_EQ(qzai::computeIoU(a, {30, 10, 20, 20}), 0.0f);  // touching edge
    EXPECT_EQ(qzai::computeIoU({5, 5, 0, 0}, {5, 5, 0, 0}), 0.0f);
    EXPECT_EQ(qzai::computeIoU(a, {100, 100, 5, 5}), 0.0f);
    // Intersection 1, union 4 + 4 - 1.
    EXPECT_FLOAT_EQ(qzai::computeIoU({0, 0, 2, 2}, {1, 1, 2, 2}), 1.0f / 7.0f);
    // A box with negative size never yields a negative or above-one value.
    const float odd = qzai::computeIoU({0, 0, -4, 4}, {-2, 0, 4, 4});
    EXPECT_GE(odd, 0.0f);
    EXPECT_LE(odd, 1.0f);
}

TEST(FloatEquals, AbsoluteTolerance) {
    EXPECT_TRUE(qzai::floatEquals(0.45f, 0.4500005f));
    EXPECT_FALSE(qzai::floatEquals(0.45f, 0.451f));
}

TEST(IsKnownModelFamily, NormalisesSeparatorsAndCase) {
    bool found = false;
    EXPECT_EQ(qzai::isKnownModelFamily("YOLOv8", &found), qzai::kAnchorFreeYolo);
    EXPECT_TRUE(found);
    EXPECT_EQ(qzai::isKnownModelFamily("YOLO-NAS", &found), qzai::kYoloNas);
    EXPECT_TRUE(found);
    EXPECT_EQ(qzai::isKnownModelFamily("Mobile_DetV3", &found), qzai::kSsd);
    EXPECT_EQ(qzai::isKnownModelFamily("RT_DETR", &found), qzai::kRtDetr);
    EXPECT_EQ(qzai::isKnownModelFamily("yolo-v_5", &found), qzai::kAnchorBasedYolo);
    EXPECT_EQ(qzai::isKnownModelFamily("YOLO8-DeepX", &found), qzai::kYolov8DeepX);
    EXPECT_TRUE(found);

    EXPECT_EQ(qzai::isKnownModelFamily("YOLOv8-DeepX", &found), 0);
    EXPECT_FALSE(found);
    EXPECT_EQ(qzai::isKnownModelFamily("", &found), 0);
    EXPECT_TRUE(found);
    EXPECT_EQ(qzai::isKnownModelFamily("yolo 11", &found), 0);  // spaces are not dropped
    EXPECT_FALSE(found);
    EXPECT_EQ(qzai::isKnownModelFamily("nanodet", nullptr), qzai::kNanoDet);
}

class ConvertBoxToFrame : public ::testing::Test {
protected:
    std::shared_ptr<qzai::InferenceInput_t> request(qzai::ResizingMethod resizing,
                                                    int64_t frameWidth, int64_t frameHeight,
                                                    qzai::FrameRegion_t region = {}) {
        model_->input.width = 640;
        model_->input.height = 640;
        stage_.model = model_;
        stage_.resizingMethod = resizing;
        auto r = std::make_shared<qzai::InferenceInput_t>();
        r->frameWidth = frameWidth;
        r->frameHeight = frameHeight;
        r->stage = &stage_;
        r->region = region;
        return r;
    }

    static void expectBox(const qzai::BoxXywh& b, float x, float y, float w, float h) {
        EXPECT_NEAR(b.x, x, 1e-5f);
        EXPECT_NEAR(b.y, y, 1e-5f);
        EXPECT_NEAR(b.width, w, 1e-5f);
        EXPECT_NEAR(b.height, h, 1e-5f);
    }

    std::shared_ptr<qzai::ModelDetails_t> model_ = std::make_shared<qzai::ModelDetails_t>();
    qzai::pipeline_stage_parameters_t stage_;
};

TEST_F(ConvertBoxToFrame, UndoesEachResizingMethod) {
    // Normalised corners: scaled by 640, then divided by 640 again.
    expectBox(qzai::convertBoxToFrame(request(qzai::ResizingMethod::Stretch, 1920, 1080), 0.1f,
                                      0.2f, 0.5f, 0.6f),
              0.1f, 0.2f, 0.4f, 0.4f);
    // Fit: s = 1/3, the frame fills 640 x 360 at y offset 140.
    expectBox(qzai::convertBoxToFrame(request(qzai::ResizingMethod::Fit, 1920, 1080), 0, 140, 640,
                                      500),
              0.0f, 0.0f, 1.0f, 1.0f);
    // Crop: s = 640/1080, the frame spans 1137.8 x 640 centred, x offset -248.9.
    expectBox(qzai::convertBoxToFrame(request(qzai::ResizingMethod::Crop, 1920, 1080), 0, 0, 640,
                                      640),
              0.21875f, 0.0f, 0.5625f, 1.0f);
}

TEST_F(ConvertBoxToFrame, PlacesTheBoxInsideTheCropRegion) {
    auto r = request(qzai::ResizingMethod::Stretch, 1920, 1080, {0.5f, 0.5f, 0.5f, 0.5f});
    expectBox(qzai::convertBoxToFrame(r, 0, 0, 640, 640), 0.5f, 0.5f, 0.5f, 0.5f);
}

TEST_F(ConvertBoxToFrame, ClampsAtTheFrameEdges) {
    auto r = request(qzai::ResizingMethod::Stretch, 1920, 1080);
    // Right edge: x 0.5 with width 1.0 is cut to width 0.5.
    expectBox(qzai::convertBoxToFrame(r, 320, 0, 960, 320), 0.5f, 0.0f, 0.5f, 0.5f);
    // Left of the frame: x moves to 0, the width stays.
    expectBox(qzai::convertBoxToFrame(r, -64, 0, 256, 320), 0.0f, 0.0f, 0.5f, 0.5f);
    // Corners all below 1 are taken as fractions, even when meant as pixels.
    expectBox(qzai::convertBoxToFrame(r, 0.5f, 0.5f, 0.9f, 0.9f), 0.5f, 0.5f, 0.4f, 0.4f);
    // An inverted box keeps its negative width.
    EXPECT_LT(qzai::convertBoxToFrame(r, 320, 0, 64, 320).width, 0.0f);
}

TEST_F(ConvertBoxToFrame, UnknownSizesNeverGiveAUsableBox) {
    auto r = request(qzai::ResizingMethod::Fit, 1920, 1080);
    model_->input.width = 0;
    model_->input.height = 0;
    for (const float corner : {0.0f, 0.5f, 10.0f}) {
        const qzai::BoxXywh b = qzai::convertBoxToFrame(r, corner, corner, 20, 20);
        EXPECT_FALSE(std::isfinite(b.x) && std::isfinite(b.width) && b.width > 0.0f) << corner;
    }
    r->stage = nullptr;
    EXPECT_TRUE(std::isnan(qzai::convertBoxToFrame(r, 10, 10, 20, 20).width));
    EXPECT_TRUE(std::isnan(qzai::convertBoxToFrame(nullptr, 10, 10, 20, 20).width));
}

}  // namespace
