// The test runtime's own behaviour, driven directly through RuntimeLibrary:
// later end-to-end tests take its answers as ground truth.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "inference/tensor_utils.h"
#include "inference/runtime_library.h"
#include "inference/support/engine_test_env.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

TensorSet* imageSet(const std::vector<float>& pixels, std::vector<int32_t> shape) {
    TensorSet* set = engine_test::makeInput(0.0f, static_cast<int32_t>(pixels.size()));
    Tensor& t = set->tensors[0];
    std::memcpy(t.data, pixels.data(), t.byteSize);
    t.rank = static_cast<uint32_t>(shape.size());
    t.shape = static_cast<int32_t*>(std::realloc(t.shape, shape.size() * sizeof(int32_t)));
    std::memcpy(t.shape, shape.data(), shape.size() * sizeof(int32_t));
    return set;
}

// An image of w x h with bright squares (x, y, side), planar or interleaved,
// background `dark`, squares `bright`.
std::vector<float> squaresImage(int w, int h, bool planar, float dark, float bright,
    const std::vector<std::array<int, 3>>& squares) {
    std::vector<float> pixels(static_cast<size_t>(w * h * 3), dark);
    for (const auto& [sx, sy, side]: squares)
        for (int y = sy; y < sy + side; ++y)
            for (int x = sx; x < sx + side; ++x)
                for (int c = 0; c < 3; ++c)
                    pixels[planar ? (c * h + y) * w + x : (y * w + x) * 3 + c] = bright - c;  // colour varies
    return pixels;
}

class RuntimeModes: public testing::Test {
protected:
    // Initialises the runtime with `args` and one plain descriptor model.
    void load(const std::string& descriptor, std::map<std::string, std::string> args = {}) {
        const std::string path = (fs::path(env.root()) / "models" / "plain.model").string();
        std::ofstream(path) << descriptor;
        std::vector<std::string> keys, values;
        for (auto& [k, v]: args) keys.push_back(k), values.push_back(v);
        std::vector<const char*> k, v;
        for (size_t i = 0; i < keys.size(); ++i) k.push_back(keys[i].c_str()), v.push_back(values[i].c_str());
        const RuntimeArgs runtimeArgs{static_cast<uint32_t>(k.size()), k.empty() ? nullptr : k.data(),
            v.empty() ? nullptr : v.data()};
        ASSERT_EQ(library.init(runtimeArgs), 0) << library.getError();
        RuntimeModelEntry entry{};
        entry.modelPath = path.c_str();
        ASSERT_EQ(library.loadModels(1, &entry), 0) << library.getError();
    }

    qzai::TensorSetPtr run(TensorSet* input) {
        input->id = 42;
        EXPECT_EQ(library.enqueueInput(0, input), 0) << library.getError();
        TensorSet* out = nullptr;
        uint64_t reserved = 0;
        EXPECT_EQ(library.retrieveOutput(&reserved, &out, 2000), 0);
        EXPECT_TRUE(out && out->id == 42);
        return qzai::TensorSetPtr(out);
    }

    static std::vector<float> rows(const TensorSet& out) {
        const Tensor& t = out.tensors[0];
        EXPECT_STREQ(t.name, "output0 format:xyxysc");
        EXPECT_EQ(t.elementType, static_cast<uint32_t>(QZ_ELEMENT_FLOAT32));
        EXPECT_EQ(t.rank, 2u);
        EXPECT_EQ(t.shape[1], 6);
        EXPECT_EQ(t.byteSize, static_cast<uint64_t>(t.shape[0]) * 6 * sizeof(float));
        const float* f = static_cast<const float*>(t.data);
        return std::vector<float>(f, f + t.shape[0] * 6);
    }

    void TearDown() override { library.cleanup(); }

    engine_test::EngineTestEnv env;
    qzai::RuntimeLibrary library{env.libraryPath()};
};

TEST_F(RuntimeModes, FindSquaresReportsBrightSquaresInModelInputPixels) {
    load(R"({"mode":"find_squares","class":2})");
    // 0..255 planar [1,3,H,W].
    auto planar = run(imageSet(squaresImage(32, 24, true, 10, 250, {{3, 4, 5}, {20, 10, 8}}), {1, 3, 24, 32}));
    EXPECT_EQ(rows(*planar), (std::vector<float>{3, 4, 8, 9, 0.9f, 2, 20, 10, 28, 18, 0.9f, 2}));
    // Normalised interleaved [1,H,W,3] with a negative background.
    auto interleaved = run(imageSet(squaresImage(16, 16, false, -1.0f, 2.5f, {{0, 12, 4}}), {1, 16, 16, 3}));
    EXPECT_EQ(rows(*interleaved), (std::vector<float>{0, 12, 4, 16, 0.9f, 2}));
    // A flat image has nothing bright in it.
    auto flat = run(imageSet(std::vector<float>(3 * 8 * 8, 7.0f), {1, 3, 8, 8}));
    EXPECT_TRUE(rows(*flat).empty());
    // A second class by size: a side of at least bigSquareSide gives class 1,
    // exactly at the limit included, whichever of width and height is longer.
    load(R"({"mode":"find_squares","class":0,"bigSquareSide":6})");
    auto sized = run(imageSet(squaresImage(32, 24, true, 10, 250, {{3, 4, 5}, {20, 10, 6}, {10, 16, 2}}),
                              {1, 3, 24, 32}));
    EXPECT_EQ(rows(*sized), (std::vector<float>{3, 4, 8, 9, 0.9f, 0, 20, 10, 26, 16, 0.9f, 1,
                                                10, 16, 12, 18, 0.9f, 0}));
}

TEST_F(RuntimeModes, DetectAndTriggerGiveTheirCannedTensors) {
    load(R"({"mode":"detect","rows":[[1,2,3,4,0.5,1]]})");
    EXPECT_EQ(rows(*run(engine_test::makeInput(1.0f))), (std::vector<float>{1, 2, 3, 4, 0.5f, 1}));

    load(R"({"mode":"trigger","trigger":false,"float_trigger_first":true})");
    auto out = run(engine_test::makeInput(1.0f));
    ASSERT_EQ(out->count, 2u);
    EXPECT_EQ(out->tensors[0].elementType, static_cast<uint32_t>(QZ_ELEMENT_FLOAT32));
    EXPECT_STREQ(out->tensors[1].name, "Trigger");
    EXPECT_EQ(out->tensors[1].elementType, static_cast<uint32_t>(QZ_ELEMENT_BOOL));
    EXPECT_EQ(*static_cast<uint8_t*>(out->tensors[1].data), 0);
}

TEST_F(RuntimeModes, EnqueueRefusesInconsistentTensorsAndLeavesThemWithTheCaller) {
    load(R"({"mode":"echo"})");
    TensorSet* input = engine_test::makeInput(1.0f, 4);
    input->tensors[0].byteSize = 12;
    EXPECT_NE(library.enqueueInput(0, input), 0);
    EXPECT_STREQ(library.getError(),
        "input tensor 'image-' has 12 bytes but shape [1,4] of element type 1 needs 16");
    EXPECT_NE(library.enqueueInput(1, input), 0);
    qzai::TensorSetPtr stillOurs(input);
    EXPECT_EQ(env.stats().enqueueAccepted, 0u);
}

TEST_F(RuntimeModes, InitStartsAfreshAndCleanupFreesWhatItHolds) {
    load(R"({"mode":"echo"})", {{"latency_ms", "60000"}});
    ASSERT_EQ(library.enqueueInput(0, engine_test::makeInput(1.0f)), 0);
    // Re-initialising drops the unanswered input and the model.
    load(R"({"mode":"echo"})");
    EXPECT_EQ(env.stats().inputsFreed, 1u);
    ASSERT_EQ(library.enqueueInput(0, engine_test::makeInput(2.0f)), 0);
    EXPECT_TRUE(engine_test::waitFor([&] { return env.stats().inputsFreed == 2; }));
    EXPECT_EQ(library.cleanup(), 0);
    EXPECT_EQ(library.cleanup(), 0);
    const TestRuntimeStats stats = env.stats();
    EXPECT_EQ(stats.outputsDiscarded, 1u);  // answered but never retrieved
    EXPECT_EQ(stats.enqueueAccepted, stats.inputsFreed);
}

}  // namespace
