// Child stages through the started manager, the real engine and the test
// runtime: Direct children on the parent's output set, FeatureExtraction
// children on object crops, Conditional children on a "Trigger". Cases whose
// input the road cannot easily make call chaining directly on the started
// manager with a hand-built result. Every road checks at its end that each
// set the runtime accepted was freed and the permits are back.
#include <gtest/gtest.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "inference/chain_tensors.h"
#include "inference/chaining.h"
#include "inference/support/chain_road.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

using engine_test::ChainRoad;
using engine_test::chainStage;
using engine_test::objectsAt;
using engine_test::SeenPacket;
using engine_test::trackedObject;
using engine_test::waitFor;
using qz::test_host::Square;
using Method = qzai::ChainMethod;

constexpr const char* kDetections = "bboxes-format:xyxysc;0:square";
constexpr const char* kClassifyName = "bboxes-format:xyxysc;0:dim;1:bright";

std::string detectDescriptor(std::vector<std::array<float, 6>> rows) {
    return nlohmann::json{{"mode", "detect"}, {"output_name", kDetections}, {"rows", rows}}.dump();
}
std::string findSquaresDescriptor(const std::string& className) {
    return nlohmann::json{{"mode", "find_squares"}, {"output_name", "bboxes-format:xyxysc;0:" + className}}.dump();
}
std::string classifyDescriptor(int latencyMs = 0) {
    return nlohmann::json{{"mode", "classify"}, {"output_name", kClassifyName}, {"levels", {185}},
                          {"latency_ms", latencyMs}}.dump();
}
std::vector<std::string> levelClasses() { return {"dim", "bright"}; }

qzai::NamedTensorDetails_t detectionsOutput(uint32_t type = QZ_ELEMENT_FLOAT32, std::vector<int64_t> shape = {2, 6}) {
    return {kDetections, type, std::move(shape)};
}

// Squares of 48 pixels on the 320 x 240 frame: bright, dim, bright.
const std::vector<Square> kThreeSquares = {{20, 30, 48, 235}, {130, 100, 48, 170}, {230, 160, 48, 235}};

// ---------------------------------------------------------------- Direct

TEST(DirectChain, TheChildRunsOnACopyOfTheParentOutputAndSeesItsBoxes) {
    ChainRoad road;
    auto parent = road.addModel(detectDescriptor({{8, 8, 24, 24, 0.9f, 0}, {40, 16, 60, 48, 0.8f, 0}}), 64,
                                {"square"}, {detectionsOutput()});
    // The child answers late, well after the parent's set was freed.
    auto child = road.addModel(
        nlohmann::json{{"mode", "echo"}, {"outputs", {"bboxes-format:xyxysc;0:copy"}}, {"latency_ms", 30}}.dump(), 64,
        {"copy"}, {}, std::vector<qzai::NamedTensorDetails_t>{detectionsOutput()});
    auto root = chainStage(parent, Method::Root);
    root.children.push_back(chainStage(child, Method::Direct));
    road.start(root);

    ASSERT_TRUE(road.pushUntil({}, [](const std::vector<SeenPacket>& packets, int64_t at) {
        return objectsAt(packets, at, "square").size() == 2 && objectsAt(packets, at, "copy").size() == 2;
    }));
    const std::vector<SeenPacket> packets = road.recorder.packets();
    const int64_t last = packets.back().timestampUs;
    auto parents = objectsAt(packets, last, "square");
    auto copies = objectsAt(packets, last, "copy");
    for (auto* list : {&parents, &copies})
        std::sort(list->begin(), list->end(), [](const auto& a, const auto& b) { return a.box.x < b.box.x; });
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(copies[i].box, parents[i].box);
}

TEST(DirectChain, ADeclaredOutputWithoutAnEqualChildInputBlocksTheChild) {
    struct Case {
        const char* what;
        std::vector<qzai::NamedTensorDetails_t> childInputs;
        bool runs;
    };
    const std::vector<Case> cases = {
        {"other element type", {detectionsOutput(QZ_ELEMENT_UINT8)}, false},
        {"other rank", {detectionsOutput(QZ_ELEMENT_FLOAT32, {1, 2, 6})}, false},
        {"other dimension", {detectionsOutput(QZ_ELEMENT_FLOAT32, {3, 6})}, false},
        {"other name", {{"bboxes", QZ_ELEMENT_FLOAT32, {2, 6}}}, false},
        {"an extra input besides", {{"extra", QZ_ELEMENT_INT64, {1}}, detectionsOutput()}, true},
    };
    const std::string warning = std::string("Warning! Couldn't find a match for tensor: ") + kDetections +
                                " to chain directly.\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChainRoad road;
        auto parent = road.addModel(detectDescriptor({{8, 8, 24, 24, 0.9f, 0}}), 64, {"square"}, {detectionsOutput()});
        auto child = road.addModel(nlohmann::json{{"mode", "echo"}}.dump(), 64, {"copy"}, {}, c.childInputs);
        auto root = chainStage(parent, Method::Root);
        root.children.push_back(chainStage(child, Method::Direct));
        road.start(root);
        road.push({});
        if (c.runs) {
            EXPECT_TRUE(waitFor([&] { return road.enqueued(1) == 1; }));
            EXPECT_EQ(road.log.count(warning), 0u);
        } else {
            EXPECT_TRUE(waitFor([&] { return road.log.count(warning) == 1; }));
            EXPECT_EQ(road.enqueued(1), 0u);
        }
    }
}

// Allocations left before the deep copy's allocator fails.
int g_allocationsLeft = -1;
void* failingMalloc(size_t size) {
    if (g_allocationsLeft == 0) return nullptr;
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    return std::malloc(size);
}

// The copy's equality with the set is checked by the decoder fuzz target.
TEST(DirectChain, AFailedAllocationInTheDeepCopyLeavesNothingBehind) {
    const qzai::TensorSetPtr set = engine_test::makeOutputSet(
        {{kDetections, QZ_ELEMENT_FLOAT32, {1, 6}, std::vector<uint8_t>(24, 1)}, {"Trigger", QZ_ELEMENT_BOOL, {0}, {}}});
    // Set, tensor array, then per tensor name, shape and data (none for the empty one).
    for (int fails = 0; fails < 7; ++fails) {
        g_allocationsLeft = fails;
        EXPECT_FALSE(qzai::copyTensorSet(*set, failingMalloc)) << fails;  // LeakSanitizer checks the partial copy
    }
    g_allocationsLeft = -1;
    EXPECT_TRUE(qzai::copyTensorSet(*set, failingMalloc));
}

// ------------------------------------------------------- FeatureExtraction

TEST(FeatureExtractionChain, EachObjectOfTheClassGetsAChildOnItsCropWithItsBoxAndTimestamp) {
    ChainRoad road;
    auto parent = road.addModel(findSquaresDescriptor("person"), 160, {"person"});
    auto child = road.addModel(classifyDescriptor(), 32, levelClasses());
    auto root = chainStage(parent, Method::Root);
    root.children.push_back(chainStage(child, Method::FeatureExtraction, "person"));
    road.start(root);

    ASSERT_TRUE(road.pushUntil(kThreeSquares, [](const std::vector<SeenPacket>& packets, int64_t at) {
        return objectsAt(packets, at, "dim").size() + objectsAt(packets, at, "bright").size() == 3;
    }));
    const std::vector<SeenPacket> packets = road.recorder.packets();
    const int64_t last = packets.back().timestampUs;
    for (const char* level : {"dim", "bright"}) {
        for (const auto& object : objectsAt(packets, last, level)) {
            const Square* best = nullptr;
            double bestIou = 0.0;
            for (const Square& square : kThreeSquares) {
                const double iou = engine_test::iouOf(object.box, square.x / 320.0f, square.y / 240.0f,
                                                      square.size / 320.0f, square.size / 240.0f);
                if (iou > bestIou) bestIou = iou, best = &square;
            }
            ASSERT_NE(best, nullptr);
            EXPECT_GE(bestIou, 0.9) << level;
            EXPECT_EQ(std::string(level), best->luma > 185 ? "bright" : "dim");
        }
    }
    // Every child packet is stamped with a frame the parent saw. A child's
    // answer may reach the camera before its parent's packet (the parent
    // delivers after it started its children), so this waits for them.
    auto everyChildHasItsParent = [](const std::vector<SeenPacket>& seen) {
        std::set<int64_t> parentStamps;
        for (const SeenPacket& packet : seen)
            if (!objectsAt({packet}, packet.timestampUs, "person").empty()) parentStamps.insert(packet.timestampUs);
        for (const SeenPacket& packet : seen)
            if (!parentStamps.count(packet.timestampUs)) return false;
        return true;
    };
    EXPECT_TRUE(road.recorder.waitUntil(everyChildHasItsParent, std::chrono::seconds(30)));
}

TEST(FeatureExtractionChain, AnObjectTheMasksDropStartsNoChild) {
    ChainRoad road;
    auto parent = road.addModel(findSquaresDescriptor("person"), 160, {"person"});
    auto child = road.addModel(classifyDescriptor(), 32, levelClasses());
    auto root = chainStage(parent, Method::Root);
    // Exclusive over the first square's bottom centre (0.1375, 0.325); the
    // other two stand outside it.
    root.masks = {{1, {0.0f, 0.0f, 0.3f, 0.0f, 0.3f, 0.5f, 0.0f, 0.5f}}};
    root.children.push_back(chainStage(child, Method::FeatureExtraction, "person"));
    road.start(root);

    ASSERT_TRUE(road.pushUntil(kThreeSquares, [](const std::vector<SeenPacket>& packets, int64_t at) {
        return objectsAt(packets, at, "dim").size() + objectsAt(packets, at, "bright").size() == 2;
    }));
    for (const SeenPacket& packet : road.recorder.packets())
        for (const char* name : {"person", "dim", "bright"})
            for (const auto& object : objectsAt({packet}, packet.timestampUs, name))
                EXPECT_GT(object.box.x, 0.3f) << name << " object of the masked square";
}

TEST(FeatureExtractionChain, OnlyUsableObjectsOfTheClassStartAChild) {
    struct Case {
        const char* what;
        std::map<std::string, std::vector<std::array<float, 4>>> objects;
        std::vector<bool> skip;  // of the "person" objects
        uint64_t children;
        size_t warnings;
        bool withFrame = true;
        bool childTakesImages = true;
    };
    const std::vector<Case> cases = {
        {"three persons", {{"person", {{0.1f, 0.1f, 0.2f, 0.2f}, {0.4f, 0.4f, 0.2f, 0.2f}, {0.7f, 0.7f, 0.2f, 0.2f}}}}, {}, 3, 0},
        {"one marked to skip", {{"person", {{0.1f, 0.1f, 0.2f, 0.2f}, {0.4f, 0.4f, 0.2f, 0.2f}}}}, {true, false}, 1, 0},
        {"other classes only", {{"car", {{0.1f, 0.1f, 0.2f, 0.2f}}}}, {}, 0, 0},
        {"no objects", {}, {}, 0, 0},
        {"nothing left inside the frame, then a sound box",
         {{"person", {{1.2f, 0.1f, 0.2f, 0.2f}, {0.4f, 0.4f, 0.2f, 0.2f}}}}, {}, 1, 1},
        {"a parent without its frame", {{"person", {{0.1f, 0.1f, 0.2f, 0.2f}, {0.4f, 0.4f, 0.2f, 0.2f}}}}, {}, 0, 2, false},
        {"a child model without image input",
         {{"person", {{0.1f, 0.1f, 0.2f, 0.2f}, {0.4f, 0.4f, 0.2f, 0.2f}}}}, {}, 0, 2, true, false},
    };
    const char* warning = "Warning: Failed to preprocess input for feature extraction chain\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChainRoad road;
        auto parent = road.addModel(findSquaresDescriptor("person"), 64, {"person"});
        // Two inputs, neither named "image-": no image input.
        const std::vector<qzai::NamedTensorDetails_t> noImage = {{"a", QZ_ELEMENT_FLOAT32, {1}},
                                                                 {"b", QZ_ELEMENT_FLOAT32, {1}}};
        auto child = c.childTakesImages ? road.addModel(classifyDescriptor(), 16, levelClasses())
                                        : road.addModel(classifyDescriptor(), 16, levelClasses(), {}, noImage);
        auto root = chainStage(parent, Method::Root);
        root.children.push_back(chainStage(child, Method::FeatureExtraction, "person"));
        road.start(root);
        qzai::PostprocessingResult result;
        for (const auto& [name, boxes] : c.objects)
            for (size_t i = 0; i < boxes.size(); ++i)
                result.objects[name].push_back(trackedObject(boxes[i][0], boxes[i][1], boxes[i][2], boxes[i][3],
                                                             i < c.skip.size() && c.skip[i]));
        qzai::chaining(*road.manager, road.parentRequest(60'000, kThreeSquares, c.withFrame), nullptr, result);
        EXPECT_EQ(road.enqueued(1), c.children);
        EXPECT_EQ(road.log.count(warning), c.warnings);
    }
}

TEST(FeatureExtractionChain, ABoxReachingOutOfTheFrameIsClippedForCropAndRegion) {
    ChainRoad road;
    auto parent = road.addModel(findSquaresDescriptor("person"), 64, {"person"});
    auto child = road.addModel(classifyDescriptor(), 16, levelClasses());
    auto root = chainStage(parent, Method::Root);
    root.children.push_back(chainStage(child, Method::FeatureExtraction, "person"));
    road.start(root);
    // The child's tracker reports an object from its fourth sighting on.
    auto seen = [](const std::vector<SeenPacket>& packets) { return !packets.empty(); };
    int64_t at = 0;
    for (int frame = 0; frame < 30 && !road.recorder.waitUntil(seen, std::chrono::milliseconds(100)); ++frame) {
        qzai::PostprocessingResult result;
        result.objects["person"] = {trackedObject(0.75f, -0.25f, 0.5f, 0.5f)};
        qzai::chaining(*road.manager, road.parentRequest(at += 60'000, {}), nullptr, result);
    }
    const std::vector<SeenPacket> packets = road.recorder.packets();
    ASSERT_FALSE(packets.empty());
    const auto box = objectsAt(packets, packets.front().timestampUs, "dim").at(0).box;
    EXPECT_GE(engine_test::iouOf(box, 0.75f, 0.0f, 0.25f, 0.25f), 0.95);
}

// ------------------------------------------------------------- Conditional

engine_test::TensorDesc trigger(uint32_t type, std::vector<uint8_t> bytes) {
    return {"Trigger", type, {static_cast<int32_t>(bytes.size())}, std::move(bytes)};
}

TEST(ConditionalChain, TheFirstBoolTriggerWithDataDecides) {
    const std::vector<uint8_t> floatOne = {0, 0, 0x80, 0x3f};
    struct Case {
        const char* what;
        std::vector<engine_test::TensorDesc> tensors;
        bool runs;
    };
    const std::vector<Case> cases = {
        {"bool true", {trigger(QZ_ELEMENT_BOOL, {1})}, true},
        {"bool false", {trigger(QZ_ELEMENT_BOOL, {0})}, false},
        {"float true before bool false", {trigger(QZ_ELEMENT_FLOAT32, floatOne), trigger(QZ_ELEMENT_BOOL, {0})}, false},
        {"float zero before bool true", {trigger(QZ_ELEMENT_FLOAT32, {0, 0, 0, 0}), trigger(QZ_ELEMENT_BOOL, {1})}, true},
        {"only a float", {trigger(QZ_ELEMENT_FLOAT32, floatOne)}, false},
        {"other name", {{"trigger", QZ_ELEMENT_BOOL, {1}, {1}}}, false},
        {"empty bool before a true one", {trigger(QZ_ELEMENT_BOOL, {}), trigger(QZ_ELEMENT_BOOL, {1})}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChainRoad road;
        auto parent = road.addModel(findSquaresDescriptor("person"), 64, {"person"});
        auto child = road.addModel(classifyDescriptor(), 16, levelClasses());
        auto root = chainStage(parent, Method::Root);
        root.children.push_back(chainStage(child, Method::Conditional));
        road.start(root);
        qzai::chaining(*road.manager, road.parentRequest(60'000, {}), engine_test::makeOutputSet(c.tensors), {});
        EXPECT_EQ(road.enqueued(1), c.runs ? 1u : 0u);
        EXPECT_EQ(road.log.count("Trigger is true, processing conditional chain\n"), c.runs ? 1u : 0u);
        EXPECT_EQ(road.log.count("Trigger is false, skipping conditional chain\n"), c.runs ? 0u : 1u);
    }
}

TEST(ConditionalChain, TheChildsObjectsLieInItsOwnCropBoxAndAnEmptyTriggerStartsNothing) {
    for (const int triggerBytes : {1, 0}) {
        SCOPED_TRACE(triggerBytes);
        ChainRoad road;
        auto parent = road.addModel(
            nlohmann::json{{"mode", "trigger"}, {"trigger", true}, {"trigger_bytes", triggerBytes}}.dump(), 64, {});
        auto child = road.addModel(classifyDescriptor(), 16, levelClasses());
        auto root = chainStage(parent, Method::Root);
        auto conditional = chainStage(child, Method::Conditional);
        const float crop[4] = {0.5f, 0.25f, 1.0f, 0.75f};
        std::copy(crop, crop + 4, conditional.cropBox);
        root.children.push_back(conditional);
        road.start(root);
        if (triggerBytes == 0) {
            road.push({});
            EXPECT_TRUE(waitFor([&] { return road.log.count("Trigger is false, skipping conditional chain\n") == 1; }));
            EXPECT_EQ(road.enqueued(1), 0u);
            continue;
        }
        ASSERT_TRUE(road.pushUntil({}, [](const std::vector<SeenPacket>& packets, int64_t at) {
            return !objectsAt(packets, at, "dim").empty();
        }));
        const SeenPacket packet = road.recorder.packets().back();
        EXPECT_GE(engine_test::iouOf(objectsAt({packet}, packet.timestampUs, "dim").front().box, 0.5f, 0.25f, 0.5f, 0.5f),
                  0.95);
    }
}

TEST(ConditionalChain, AFailingConditionalChildEndsItsLaterSiblingsOnly) {
    ChainRoad road;
    const qzai::NamedTensorDetails_t triggerOut{"Trigger", QZ_ELEMENT_BOOL, {1}};
    auto parent = road.addModel(findSquaresDescriptor("person"), 64, {"person"}, {triggerOut});
    auto before = road.addModel(nlohmann::json{{"mode", "echo"}}.dump(), 64, {}, {},
                                std::vector<qzai::NamedTensorDetails_t>{triggerOut});
    auto failing = road.addModel(classifyDescriptor(), 16, levelClasses(), {}, std::vector<qzai::NamedTensorDetails_t>{});
    auto after = road.addModel(nlohmann::json{{"mode", "echo"}}.dump(), 64, {}, {},
                               std::vector<qzai::NamedTensorDetails_t>{triggerOut});
    auto root = chainStage(parent, Method::Root);
    root.children = {chainStage(before, Method::Direct), chainStage(failing, Method::Conditional),
                     chainStage(after, Method::Direct)};
    road.start(root);
    qzai::chaining(*road.manager, road.parentRequest(60'000, {}),
                   engine_test::makeOutputSet({trigger(QZ_ELEMENT_BOOL, {1})}), {});
    EXPECT_EQ(road.log.count("Warning: Failed to preprocess input for conditional chain\n"), 1u);
    EXPECT_EQ(road.enqueued(1), 1u);
    EXPECT_EQ(road.enqueued(3), 0u);
}

// ------------------------------------------------------------------ Common

TEST(ChainCommon, AThreeLevelChainDelivers) {
    ChainRoad road;
    auto parent = road.addModel(findSquaresDescriptor("person"), 160, {"person"});
    auto middle = road.addModel(findSquaresDescriptor("face"), 64, {"face"});
    auto leaf = road.addModel(classifyDescriptor(), 16, levelClasses());
    auto root = chainStage(parent, Method::Root);
    auto face = chainStage(middle, Method::FeatureExtraction, "person");
    face.children.push_back(chainStage(leaf, Method::FeatureExtraction, "face"));
    root.children.push_back(face);
    road.start(root);
    // The parent finds the dim square with the bright one inside as one
    // person; the middle stage finds the bright one in the person's crop,
    // and the leaf classifies the crop of that.
    const std::vector<Square> nested = {{80, 60, 100, 170}, {110, 90, 40, 235}};
    ASSERT_TRUE(road.pushUntil(nested, [](const std::vector<SeenPacket>& packets, int64_t at) {
        return objectsAt(packets, at, "bright").size() == 1;
    }));
    const auto leafBox = objectsAt(road.recorder.packets(), road.recorder.packets().back().timestampUs, "bright");
    EXPECT_GE(engine_test::iouOf(leafBox.front().box, 110 / 320.0f, 90 / 240.0f, 40 / 320.0f, 40 / 240.0f), 0.8);
}

TEST(ChainCommon, RefusedChildEnqueuesGiveBackTheirSetAndSlot) {
    ChainRoad road(8, {{"fail_enqueue_every", "3"}});
    auto parent = road.addModel(findSquaresDescriptor("person"), 64, {"person"});
    auto child = road.addModel(classifyDescriptor(), 16, levelClasses());
    auto root = chainStage(parent, Method::Root);
    root.children.push_back(chainStage(child, Method::FeatureExtraction, "person"));
    road.start(root);
    // 150 children in turn, one in three refused: a slot kept by a refusal
    // would run the 100 slots dry.
    for (int i = 0; i < 150; ++i) {
        qzai::PostprocessingResult result;
        result.objects["person"] = {trackedObject(0.1f, 0.1f, 0.2f, 0.2f)};
        qzai::chaining(*road.manager, road.parentRequest(60'000, {}), nullptr, result);
        ASSERT_TRUE(waitFor([&] { return road.env.stats().outputsDelivered == road.enqueued(1); }));
    }
    EXPECT_EQ(road.enqueued(1), 100u);
    EXPECT_EQ(road.env.stats().enqueueRefused, 50u);
    EXPECT_EQ(road.log.count("Error! No available input slot.\n"), 0u);
}

TEST(ChainCommon, ChildrenBeyondTheHundredSlotsAreRefusedAndFreed) {
    ChainRoad road;
    auto parent = road.addModel(findSquaresDescriptor("person"), 64, {"person"});
    auto slow = road.addModel(classifyDescriptor(/*latencyMs=*/60'000), 16, levelClasses());
    auto root = chainStage(parent, Method::Root);
    root.children.push_back(chainStage(slow, Method::FeatureExtraction, "person"));
    root.children.push_back(chainStage(slow, Method::FeatureExtraction, "car"));
    road.start(root);
    qzai::PostprocessingResult result;
    for (int i = 0; i < 60; ++i) result.objects["person"].push_back(trackedObject(0.01f * i, 0.1f, 0.2f, 0.2f));
    for (int i = 0; i < 41; ++i) result.objects["car"].push_back(trackedObject(0.01f * i, 0.5f, 0.2f, 0.2f));
    qzai::chaining(*road.manager, road.parentRequest(60'000, {}), nullptr, result);
    EXPECT_EQ(road.enqueued(1), 100u);
    EXPECT_EQ(road.log.count("Error! No available input slot.\n"), 1u);
}

}  // namespace
