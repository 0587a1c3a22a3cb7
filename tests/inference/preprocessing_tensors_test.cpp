// Model input tensors from both roads, their equivalence, and malformed
// frames and model descriptions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "common/support/log_waiter.h"
#include "inference/preprocessing/input_tensors.h"
#include "inference/preprocessing/rgb_preprocessing.h"
#include "inference/preprocessing/yuv_preprocessing.h"
#include "inference/video_frame.h"
#include "support/prep_frames.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::ResizingMethod;

namespace {

using prep_test::kFull;

qzai::pipeline_stage_parameters_t makeStage(std::vector<qzai::NamedTensorDetails_t> inputs,
                                            uint64_t tw = 16, uint64_t th = 12) {
    qzai::pipeline_stage_parameters_t stage;
    stage.model = std::make_shared<qzai::ModelDetails_t>();
    stage.model->id = "model-1";
    stage.model->input.width = tw;
    stage.model->input.height = th;
    stage.model->input.means[1] = 10.0f;
    stage.model->input.vars[2] = 4.0f;
    stage.model->namedInputs = std::move(inputs);
    stage.nmsThreshold = 0.3f;
    return stage;
}

qzai::NamedTensorDetails_t input(const char* name, uint32_t type, std::vector<int64_t> shape) {
    return {name, type, std::move(shape)};
}

bool sameTensors(const TensorSet& a, const TensorSet& b) {
    if (a.count != b.count) return false;
    for (uint32_t i = 0; i < a.count; ++i) {
        const Tensor& x = a.tensors[i];
        const Tensor& y = b.tensors[i];
        if (std::strcmp(x.name, y.name) != 0 || x.elementType != y.elementType || x.rank != y.rank ||
            x.byteSize != y.byteSize || std::memcmp(x.shape, y.shape, x.rank * sizeof(int32_t)) != 0 ||
            (x.byteSize && std::memcmp(x.data, y.data, x.byteSize) != 0))
            return false;
    }
    return true;
}

TEST(PreprocessingTensors, RecordsFollowDeclaredInputs) {
    const auto f = prep_test::randomFrame(40, 30, 3u);
    const prep_test::HostFrame host(f);

    auto single = makeStage({input("nms_sensitivity-", QZ_ELEMENT_FLOAT32, {1, 3, 12, 16})});
    auto set = qzai::prepareRuntimeInput(&host, single, kFull);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 1u);  // the only input is the image, whatever its name
    EXPECT_STREQ(set->tensors[0].name, "nms_sensitivity-");
    EXPECT_EQ(set->tensors[0].rank, 4u);
    EXPECT_EQ(set->tensors[0].shape[2], 12);
    EXPECT_EQ(set->tensors[0].byteSize, 16u * 12u * 3u * sizeof(float));

    EXPECT_FALSE(qzai::prepareRuntimeInput(&host, makeStage({input("input", 1, {}), input("mask-", 2, {})}), kFull));

    auto three = makeStage({input("nms_sensitivity-", 1, {1}), input("mask-", QZ_ELEMENT_UINT8, {4, 5}),
                            input("image-", QZ_ELEMENT_UINT8, {1, 12, 16, 3, int64_t{1} << 33 | 7})});
    set = qzai::prepareRuntimeInput(&host, three, kFull);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 3u);
    EXPECT_STREQ(set->tensors[0].name, "image-");
    EXPECT_EQ(set->tensors[0].shape[4], 7);  // low 32 bits of the declared dimension
    EXPECT_EQ(set->tensors[0].byteSize, 16u * 12u * 3u);  // uint8 input: interleaved bytes
    EXPECT_STREQ(set->tensors[1].name, "mask-");
    ASSERT_EQ(set->tensors[1].byteSize, 20u);
    EXPECT_EQ(static_cast<uint8_t*>(set->tensors[1].data)[19], 1);
    EXPECT_STREQ(set->tensors[2].name, "nms_sensitivity-");
    EXPECT_EQ(set->tensors[2].elementType, static_cast<uint32_t>(QZ_ELEMENT_FLOAT32));
    EXPECT_EQ(*static_cast<float*>(set->tensors[2].data), 0.3f);

    // A shape of rank 1 or with dynamic (-1) dimensions gives an empty mask.
    auto dynamic = makeStage({input("image-", 1, {}), input("mask-", 2, {-1, 640})});
    set = qzai::prepareRuntimeInput(&host, dynamic, kFull);
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 2u);
    EXPECT_EQ(set->tensors[1].byteSize, 0u);
    EXPECT_EQ(set->tensors[1].shape[0], 0);

    // The byte runtime takes the 8-bit road but keeps the declared type.
    auto deepx = makeStage({input("image-", QZ_ELEMENT_FLOAT32, {})});
    auto byteRuntime = std::make_shared<qzai::ModelPreparation>();
    byteRuntime->installedRuntimeName = "DEEPX";
    deepx.model->setPreparation(byteRuntime);
    set = qzai::prepareRuntimeInput(&host, deepx, kFull);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->tensors[0].elementType, static_cast<uint32_t>(QZ_ELEMENT_FLOAT32));
    EXPECT_EQ(set->tensors[0].byteSize, 16u * 12u * 3u);
}

TEST(PreprocessingTensors, DirectAndFrameRoadsGiveIdenticalTensors) {
    const auto f = prep_test::randomFrame(45, 31, 9u, 4);
    const prep_test::HostFrame host(f);
    const float box[4] = {0.13f, 0.2f, 0.77f, 0.95f};
    for (int method = 0; method < 3; ++method) {
        for (int order : {0, 1}) {
            for (uint32_t channels : {3u, 1u}) {
                for (uint32_t type : {uint32_t{QZ_ELEMENT_FLOAT32}, uint32_t{QZ_ELEMENT_UINT8}}) {
                    auto stage = makeStage({input("image-", type, {1, 3, 24, 20}), input("nms_sensitivity-", 1, {1})}, 20, 24);
                    stage.resizingMethod = static_cast<ResizingMethod>(method);
                    stage.model->input.order = order;
                    stage.model->input.channels = channels;
                    const qzai::VideoFrame frame(&host, static_cast<uint32_t>(order));
                    auto direct = qzai::prepareRuntimeInput(&host, stage, box);
                    auto road = qzai::qzai_module_video_preprocessing(frame, stage, box);
                    ASSERT_TRUE(direct && road);
                    EXPECT_TRUE(sameTensors(*direct, *road))
                        << "method " << method << " order " << order << " channels " << channels << " type " << type;
                }
            }
        }
    }
}

TEST(PreprocessingTensors, MalformedFramesAndSizesGiveNothing) {
    const auto f = prep_test::randomFrame(8, 6, 1u);
    auto stage = makeStage({input("image-", QZ_ELEMENT_FLOAT32, {})});
    const prep_test::HostFrame twoPlanes(f, 2);
    EXPECT_FALSE(qzai::prepareRuntimeInput(&twoPlanes, stage, kFull));
    EXPECT_FALSE(qzai::prepareRuntimeInput(static_cast<const qz::sdk::analytics::IUncompressedVideoFrame*>(nullptr), stage, kFull));
    for (auto broken : {&qzai::YuvPlanes::width, &qzai::YuvPlanes::height, &qzai::YuvPlanes::yLineSize}) {
        for (int32_t value : {0, -1}) {
            qzai::YuvPlanes p = f.planes();
            p.*broken = value;
            EXPECT_FALSE(qzai::prepareRuntimeInput(p, stage, kFull));
            EXPECT_FALSE(qzai::preprocessYuvToUint8(p, 4, 4, kFull, ResizingMethod::Fit));
        }
    }
    qzai::YuvPlanes noV = f.planes();
    noV.v = nullptr;
    EXPECT_FALSE(qzai::prepareRuntimeInput(noV, stage, kFull));
    const qzai::VideoFrame fromBroken(&twoPlanes, 0);
    EXPECT_TRUE(fromBroken.data().empty());
    EXPECT_FALSE(qzai::qzai_module_video_preprocessing(fromBroken, stage, kFull));

    // A pre-processor's image shorter than width x height x 3 floats, or with
    // a size of 0 or less, is not read.
    std::vector<uint8_t> bytes(8 * 6 * 3 * sizeof(float) - 1, 0);
    EXPECT_FALSE(qzai::qzai_module_video_preprocessing(qzai::VideoFrame(bytes, 8, 6, 1), stage, kFull));
    bytes.push_back(0);
    EXPECT_TRUE(qzai::qzai_module_video_preprocessing(qzai::VideoFrame(bytes, 8, 6, 1), stage, kFull));
    EXPECT_FALSE(qzai::qzai_module_video_preprocessing(qzai::VideoFrame(bytes, -8, -6, 1), stage, kFull));
    EXPECT_FALSE(qzai::qzai_module_video_preprocessing(
        qzai::VideoFrame(bytes, int64_t{1} << 40, int64_t{1} << 40, 1), stage, kFull));
    EXPECT_FALSE(qzai::preprocessRgbToUint8(qzai::VideoFrame(bytes, 0, 6, 0), 4, 4, kFull, ResizingMethod::Fit));

    // Target sides beyond 32768 are refused; a side of 0 gives an empty image.
    const prep_test::HostFrame host(f);
    EXPECT_FALSE(qzai::prepareRuntimeInput(&host, makeStage({input("x", 1, {})}, 40000, 2), kFull));
    EXPECT_FALSE(qzai::prepareRuntimeInput(&host, makeStage({input("x", 1, {})}, 2, std::numeric_limits<uint64_t>::max()), kFull));
    auto empty = qzai::prepareRuntimeInput(&host, makeStage({input("x", 1, {})}, 0, 640), kFull);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->tensors[0].byteSize, 0u);
}

// Mask inputs obey the per-side limit of images, and all inputs of one
// request a total limit; a refused declaration is logged once, however many
// frames come, and nothing is allocated for it.
TEST(PreprocessingTensors, OversizedDeclaredInputsAreRefusedOncePerStage) {
    const auto f = prep_test::randomFrame(40, 30, 5u);
    const prep_test::HostFrame host(f);
    struct Case {
        const char* id;
        std::vector<int64_t> mask;
        uint64_t side;
        bool made;
    };
    const Case cases[] = {
        {"mask-too-wide", {40000, 2}, 16, false},
        {"mask-huge", {100000, 100000}, 16, false},
        {"mask-and-image-too-big", {16384, 16384}, 640, false},
        {"image-too-big", {1, 1}, 6000, false},
        {"mask-large-but-fine", {8192, 8192}, 16, true},
    };
    for (const Case& c : cases) {
        auto stage = makeStage({input("image-", QZ_ELEMENT_UINT8, {}), input("mask-", QZ_ELEMENT_UINT8, c.mask)},
                               c.side, c.side);
        stage.model->id = c.id;
        qz::test::LogWaiter log;
        for (int frame = 0; frame < 3; ++frame) {
            auto set = qzai::prepareRuntimeInput(&host, stage, kFull);
            ASSERT_EQ(static_cast<bool>(set), c.made) << c.id;
            EXPECT_EQ(qzai::hasUsableInputs(stage), c.made) << c.id;
            if (set) {
                EXPECT_EQ(set->tensors[1].byteSize, static_cast<uint64_t>(c.mask[0] * c.mask[1])) << c.id;
            }
        }
        EXPECT_EQ(log.count(c.id), c.made ? 0u : 1u) << c.id << ": " << log.text();
    }
}

}  // namespace
