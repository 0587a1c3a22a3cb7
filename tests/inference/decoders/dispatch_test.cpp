#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoder_test_util.h"
#include "inference/decoders/decoder_math.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

using namespace decoder_test;

namespace {

TEST(ResultSet, LayoutReadBackByteByByte) {
    const std::vector<qzai::Detection> rows = {{1.5f, 2.5f, 10.0f, 20.0f, 0.75f, 3},
                                               {-4.0f, 0.0f, 8.0f, 9.0f, 0.5f, 0}};
    SetPtr set(qzai::makeDetectionResult(42, rows));
    ASSERT_TRUE(set);
    EXPECT_EQ(set->id, 42u);
    ASSERT_EQ(set->count, 1u);
    const Tensor& t = set->tensors[0];
    EXPECT_STREQ(t.name, "output0 format:xyxysc");
    EXPECT_EQ(t.elementType, 1u);
    ASSERT_EQ(t.rank, 2u);
    EXPECT_EQ(t.shape[0], 2);
    EXPECT_EQ(t.shape[1], 6);
    ASSERT_EQ(t.byteSize, 48u);
    const float expected[12] = {1.5f, 2.5f, 10.0f, 20.0f, 0.75f, 3.0f,
                                -4.0f, 0.0f, 8.0f, 9.0f, 0.5f, 0.0f};
    EXPECT_EQ(std::memcmp(t.data, expected, sizeof expected), 0);

    // Raw rows are copied unchanged, class value included.
    const float raw[6] = {1, 2, 3, 4, 0.5f, 2.5f};
    SetPtr copied(qzai::makeDetectionResult(9, raw, 1));
    EXPECT_EQ(std::memcmp(copied->tensors[0].data, raw, sizeof raw), 0);
}

TEST(ResultSet, NoRowsMeansNoTensorArray) {
    SetPtr empty(qzai::makeDetectionResult(5, std::vector<qzai::Detection>{}));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->id, 5u);
    EXPECT_EQ(empty->count, 0u);
    EXPECT_EQ(empty->tensors, nullptr);
}

TEST(RunDetectionPostprocessor, UnknownArchitectureIsSilentlyEmpty) {
    LogCapture log;
    SetPtr input = makeSet({floatTensor("output0", {1, 6, 1}, {1, 1, 2, 2, 0.9f, 0.1f})}, 31);
    for (const int32_t arch : {-1, 10, 1000}) {
        SetPtr out(qzai::runDetectionPostprocessor(arch, input.get(), 0.25f, 0.45f, 640, 640));
        ASSERT_TRUE(out);
        EXPECT_EQ(out->id, 31u);
        EXPECT_EQ(out->count, 0u);
        EXPECT_EQ(out->tensors, nullptr);
    }
    SetPtr none(qzai::runDetectionPostprocessor(12, nullptr, 0.25f, 0.45f, 640, 640));
    EXPECT_EQ(none->id, 0u);
    EXPECT_TRUE(log.warnings.empty());
    EXPECT_TRUE(log.verbose.empty());
}

TEST(FindTensorIndexByName, FirstMatchingFragmentWins) {
    SetPtr set = makeSet({floatTensor("pred_boxes", {1}, {0}), floatTensor("boxes", {1}, {0})});
    EXPECT_EQ(qzai::findTensorIndexByName(*set, {"boxes", "pred_boxes"}), 0);
    EXPECT_EQ(qzai::findTensorIndexByName(*set, {"logits", "es"}), 0);
    EXPECT_EQ(qzai::findTensorIndexByName(*set, {"Boxes"}), -1);

    TensorDesc unnamed = floatTensor("", {1}, {0});
    unnamed.nullName = true;
    SetPtr withNull = makeSet({unnamed, floatTensor("scores", {1}, {0})});
    EXPECT_EQ(qzai::findTensorIndexByName(*withNull, {"scores"}), 1);

    TensorSet noArray{3, 2, nullptr};
    EXPECT_EQ(qzai::findTensorIndexByName(noArray, {"scores"}), -1);
}

TEST(SoftmaxInPlace, NormalisesAndIgnoresEmptyInput) {
    float v[3] = {1.0f, 2.0f, 3.0f};
    qzai::softmaxInPlace(v, 3);
    EXPECT_NEAR(v[0] + v[1] + v[2], 1.0f, 1e-6f);
    EXPECT_LT(v[0], v[1]);
    EXPECT_LT(v[1], v[2]);

    float big[2] = {1000.0f, 1000.0f};  // max-shifted, no overflow
    qzai::softmaxInPlace(big, 2);
    EXPECT_FLOAT_EQ(big[0], 0.5f);

    float untouched = 7.0f;
    qzai::softmaxInPlace(&untouched, 0);
    qzai::softmaxInPlace(&untouched, -3);
    qzai::softmaxInPlace(nullptr, 4);
    EXPECT_EQ(untouched, 7.0f);
    EXPECT_FLOAT_EQ(qzai::sigmoid(0.0f), 0.5f);
}

}  // namespace
