#include "inference/postprocessing/region_masks.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "inference/postprocessing/postprocessing.h"
#include "scripted_scene.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::ScriptedObject;
using qzai::testing::ScriptedScene;
using qzai::testing::TestCamera;

namespace {

struct PointCase {
    float x, y;
    bool inside;
};

void expectPoints(const std::vector<float>& polygon, const std::vector<PointCase>& cases) {
    for (const PointCase& c : cases)
        EXPECT_EQ(qzai::pointInPolygon(polygon, c.x, c.y), c.inside) << "(" << c.x << ", " << c.y << ")";
}

TEST(PointInPolygon, SquareBoundaryIsInsideAndHorizontalEdgesNeverToggle) {
    const std::vector<float> square = {0.25f, 0.25f, 0.75f, 0.25f, 0.75f, 0.75f, 0.25f, 0.75f};
    expectPoints(square, {
        {0.5f, 0.5f, true},
        {0.5f, 0.25f, true},     // on the top edge
        {0.75f, 0.6f, true},     // on the right edge
        {0.25f, 0.25f, true},    // on a vertex
        {0.75f, 0.75f, true},    // on the opposite vertex
        {0.9f, 0.5f, false},
        // Collinear with the top edge but beyond its ends: the ray crosses
        // both vertical edges (two toggles), the horizontal edge never.
        {0.1f, 0.25f, false},
        {0.9f, 0.25f, false},
        // At the height of the bottom edge, left of it: neither vertical
        // edge straddles y = 0.75 (both end there from above).
        {0.1f, 0.75f, false},
    });
}

TEST(PointInPolygon, ToleranceBandOfASlantedEdgeIsOneTenThousandthOverItsLength) {
    // Hypotenuse (0.2, 0.2)-(0.6, 0.5): length 0.5, outward unit normal
    // (0.6, -0.8), midpoint (0.4, 0.35). A point at distance d off the edge
    // has |cross| = 0.5 d: 1.5e-4 gives 7.5e-5 (within 1e-4, on the edge),
    // 3e-4 gives 1.5e-4 (off the edge, and outside by even-odd).
    const std::vector<float> triangle = {0.2f, 0.2f, 0.6f, 0.5f, 0.2f, 0.5f};
    expectPoints(triangle, {
        {0.4f, 0.35f, true},
        {0.4f + 0.6f * 1.5e-4f, 0.35f - 0.8f * 1.5e-4f, true},
        {0.4f + 0.6f * 3e-4f, 0.35f - 0.8f * 3e-4f, false},
        {0.4f - 0.6f * 3e-4f, 0.35f + 0.8f * 3e-4f, true},  // the same distance inward
        // Collinear with the hypotenuse beyond (0.6, 0.5): the box of the
        // edge excludes it, and the ray from it crosses nothing.
        {0.8f, 0.65f, false},
    });
}

TEST(PointInPolygon, ConcaveUShapeLeavesItsNotchOutside) {
    // Outer square (0.2..0.8), notch x 0.4..0.6 from the top down to y 0.6.
    const std::vector<float> u = {0.2f, 0.2f, 0.4f, 0.2f, 0.4f, 0.6f, 0.6f, 0.6f,
                                  0.6f, 0.2f, 0.8f, 0.2f, 0.8f, 0.8f, 0.2f, 0.8f};
    expectPoints(u, {
        {0.5f, 0.4f, false},   // in the notch
        {0.5f, 0.59f, false},  // just above the notch's floor (0.002 of cross, off the edge)
        {0.5f, 0.6f, true},    // on the notch's floor
        {0.5f, 0.7f, true},    // below the notch
        {0.3f, 0.4f, true},    // left arm
        {0.7f, 0.4f, true},    // right arm
        {0.3f, 0.6f, true},    // arm, at the floor's height (horizontal edge ignored)
    });
}

TEST(PointInPolygon, SelfIntersectingShapesFollowTheEvenOddRule) {
    // Bow-tie: two triangles meeting at (0.5, 0.5); the top and bottom
    // wedges between the diagonals are not enclosed.
    const std::vector<float> bowTie = {0.2f, 0.2f, 0.8f, 0.8f, 0.8f, 0.2f, 0.2f, 0.8f};
    expectPoints(bowTie, {{0.3f, 0.5f, true}, {0.7f, 0.5f, true}, {0.5f, 0.3f, false}, {0.5f, 0.7f, false},
                          {0.5f, 0.5f, true}});  // the crossing point lies on both diagonals
    // Pentagram around (0.5, 0.5), radius 0.4, drawn P0 P2 P4 P1 P3: the
    // centre is wound twice (outside by even-odd), a tip once.
    const std::vector<float> pentagram = {0.5f,      0.1f,      0.73511f, 0.82361f, 0.11958f,
                                          0.37639f,  0.88042f,  0.37639f, 0.26489f, 0.82361f};
    expectPoints(pentagram, {{0.5f, 0.5f, false}, {0.5f, 0.2f, true}, {0.2f, 0.4f, true}, {0.05f, 0.5f, false}});
}

TEST(PointInPolygon, DegenerateAndUntidyVertexLists) {
    expectPoints({}, {{0.0f, 0.0f, false}, {0.5f, 0.5f, false}});
    expectPoints({0.5f, 0.5f}, {{0.5f, 0.5f, true}, {0.6f, 0.5f, false}});
    // A segment: its points only; twice the same edge toggles twice.
    expectPoints({0.2f, 0.2f, 0.6f, 0.5f}, {{0.4f, 0.35f, true}, {0.8f, 0.65f, false}, {0.4f, 0.45f, false}});
    // A trailing odd value is no vertex (reading it would also run past the list).
    expectPoints({0.2f, 0.2f, 0.8f, 0.2f, 0.8f, 0.8f, 0.2f, 0.8f, 0.5f},
                 {{0.5f, 0.5f, true}, {0.9f, 0.5f, false}, {0.2f, 0.5f, true}});
    // A repeated vertex adds a zero-length edge that never toggles.
    expectPoints({0.2f, 0.2f, 0.8f, 0.2f, 0.8f, 0.2f, 0.8f, 0.8f, 0.2f, 0.8f},
                 {{0.5f, 0.5f, true}, {0.9f, 0.5f, false}, {0.8f, 0.2f, true}, {0.5f, 0.1f, false}});
}

qzai::InputMask_t zone(int32_t type, float x0, float y0, float x1, float y1) {
    return {type, {x0, y0, x1, y0, x1, y1, x0, y1}};
}

TEST(RegionMasks, FilterKeepsTheOrderGiven) {
    auto at = [](float x) {
        qzai::QzAIObjectData_t data;
        data.box = {x, 0.4f, 0.1f, 0.1f};
        return std::make_shared<qzai::QzAIObject_t>(data);
    };
    const qzai::QzAIObjectList objects = {at(0.7f), at(0.1f), at(0.5f), at(0.3f)};
    const auto kept = qzai::filterObjectsByMask(objects, {zone(1, 0.0f, 0.0f, 0.2f, 1.0f)});
    EXPECT_EQ(kept, (qzai::QzAIObjectList{objects[0], objects[2], objects[3]}));
    EXPECT_EQ(qzai::filterObjectsByMask(objects, {}), objects);
}

// Four cars with 0.125-wide boxes, tracked through Postprocessing: centres
// A (0.3, 0.3), B (0.7, 0.3), C (0.3, 0.7), D (0.7, 0.7); their bottom
// centres lie 0.0625 lower (A 0.3625, C 0.7625, ...). A class the masks
// empty leaves the result.
struct MaskCase {
    const char* name;
    std::vector<qzai::InputMask_t> masks;
    std::string keptCars;  // letters of the cars that pass
};

class MasksThroughPostprocessing : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MasksThroughPostprocessing, BottomCentreDecides) {
    ScriptedScene scene;
    const float centres[4][2] = {{0.3f, 0.3f}, {0.7f, 0.3f}, {0.3f, 0.7f}, {0.7f, 0.7f}};
    for (const auto& c : centres) scene.add({{{0, c[0], c[1]}, {4, c[0], c[1]}}});
    TestCamera camera;
    camera.stage().masks = GetParam().masks;
    qzai::PostprocessingState state("");
    qzai::PostprocessingResult result;
    for (int f = 0; f <= 4; ++f) {
        qzai::InferenceOutput output;
        output.request = camera.request(ScriptedScene::timestampUs(f));
        output.output = scene.frame(f);
        result = qzai::Postprocessing(state, output);
    }
    std::string kept;
    if (result.objects.count("car")) {
        ASSERT_FALSE(result.objects.at("car").empty());  // an emptied class is dropped, not kept empty
        for (const auto& object : result.objects.at("car")) {
            const auto box = object->snapshot().box;
            kept += static_cast<char>('A' + (box.x > 0.5f ? 1 : 0) + (box.y > 0.5f ? 2 : 0));
        }
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, GetParam().keptCars);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MasksThroughPostprocessing,
    ::testing::Values(
        // Covers the box centres of A and B (y 0.3) but not their bottom
        // centres (y 0.3625); every car leaves, the class with them.
        MaskCase{"CentreInsideBottomOutside", {zone(0, 0.2f, 0.2f, 0.8f, 0.34f)}, ""},
        MaskCase{"OnlyExclusive", {zone(1, 0.6f, 0.6f, 0.8f, 0.8f)}, "ABC"},
        MaskCase{"OverlappingInclusive", {zone(0, 0.2f, 0.3f, 0.5f, 0.8f), zone(0, 0.25f, 0.3f, 0.8f, 0.6f)}, "ABC"},
        MaskCase{"ExclusiveOverInclusive", {zone(0, 0.1f, 0.1f, 0.9f, 0.9f), zone(1, 0.2f, 0.6f, 0.8f, 0.8f)}, "AB"},
        // Type 7 over A only: as inclusive it would keep A alone, as
        // exclusive drop it; it does neither.
        MaskCase{"UnknownTypeIgnored", {{7, {0.2f, 0.2f, 0.4f, 0.2f, 0.4f, 0.4f, 0.2f, 0.4f}}}, "ABCD"},
        // The exclusive mask's top edge runs through A's bottom centre.
        MaskCase{"BottomCentreOnExclusiveEdge", {zone(1, 0.2f, 0.3625f, 0.4f, 0.5f)}, "BCD"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
