#include <gtest/gtest.h>

#include "inference/packet_assembly.h"
#include "qz/sdk/analytics/helpers/event_metadata.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::sdk::analytics::Rect;

namespace {

qz::sdk::Uuid track(uint8_t last) {
    qz::sdk::Uuid id;
    id.bytes[15] = last;
    return id;
}

qzai::QzAIObjectPtr object(const std::string& typeId, float x, uint8_t trackLast) {
    qzai::QzAIObjectData_t data;
    data.typeId = typeId;
    data.trackId = track(trackLast);
    data.box = {x, 0.2f, 0.1f, 0.1f};
    data.confidence = 0.8f;
    return std::make_shared<qzai::QzAIObject_t>(std::move(data));
}

qzai::pipeline_stage_parameters_t stageShowing(std::map<std::string, bool> shown) {
    qzai::pipeline_stage_parameters_t stage;
    stage.classVisualisation = std::move(shown);
    stage.classVisualisationSet = true;
    return stage;
}

}  // namespace

TEST(OutputPackets, ObjectsOfShownClassesOnlyInClassNameOrderWithTheFrameTimestamp) {
    qzai::PostprocessingResult result;
    result.objects["person"] = {object("qz.base.Person", 0.1f, 1), object("qz.base.Person", 0.3f, 2)};
    result.objects["car"] = {object("qz.base.Car", 0.5f, 3)};
    result.objects["dog"] = {object("qz.qzai.dog", 0.7f, 4)};  // present but off
    result.objects["cat"] = {object("qz.qzai.cat", 0.7f, 5)};  // absent from the map

    const auto packets =
        qzai::assembleOutputPackets(result, stageShowing({{"person", true}, {"car", true}, {"dog", false}}), 777);
    ASSERT_TRUE(packets.objects);
    EXPECT_FALSE(packets.events);
    EXPECT_TRUE(packets.bestShots.empty());
    EXPECT_EQ(packets.objects->timestampUs(), 777);
    EXPECT_EQ(packets.objects->durationUs(), 1);
    ASSERT_EQ(packets.objects->count(), 3);
    const std::vector<std::string> expectedTypes = {"qz.base.Car", "qz.base.Person", "qz.base.Person"};
    for (int i = 0; i < 3; ++i) {
        qz::sdk::Ptr<const qz::sdk::analytics::IObjectMetadata> item(packets.objects->at(i));
        EXPECT_EQ(item->typeId(), expectedTypes[static_cast<size_t>(i)]);
    }
    qz::sdk::Ptr<const qz::sdk::analytics::IObjectMetadata> second(packets.objects->at(2));
    EXPECT_EQ(second->trackId(), track(2));
}

TEST(OutputPackets, BeforeTheHostChoseClassesEveryClassIsShown) {
    // Classes a post-processor declares are not in the model's map; until the
    // host sends a selection they must be delivered like the model's own.
    qzai::PostprocessingResult result;
    result.objects["person"] = {object("qz.base.Person", 0.1f, 1)};
    result.objects["hat"] = {object("qz.qzai.hat", 0.3f, 2)};
    auto stage = stageShowing({{"person", false}});
    stage.classVisualisationSet = false;
    const auto packets = qzai::assembleOutputPackets(result, stage, 5);
    ASSERT_TRUE(packets.objects);
    EXPECT_EQ(packets.objects->count(), 2);
}

TEST(OutputPackets, EventsAndBestShotsComeEvenWhenNoClassIsShown) {
    qzai::PostprocessingResult result;
    result.objects["person"] = {object("qz.base.Person", 0.1f, 1)};
    auto event = qz::sdk::analytics::createEventMetadata();
    event->setCaption("crossed");
    result.events.push_back(event);
    result.bestShots.push_back({track(9), {0.1f, 0.2f, 0.3f, 0.4f}, 1});
    result.bestShots.push_back({track(10), {0.5f, 0.5f, 0.5f, 0.5f}, 0});

    const auto packets = qzai::assembleOutputPackets(result, stageShowing({}), 42);
    EXPECT_FALSE(packets.objects);
    ASSERT_TRUE(packets.events);
    EXPECT_EQ(packets.events->count(), 1);
    EXPECT_EQ(packets.events->timestampUs(), 42);
    EXPECT_EQ(packets.events->durationUs(), 1);
    ASSERT_EQ(packets.bestShots.size(), 2u);
    EXPECT_EQ(packets.bestShots[0]->trackId(), track(9));
    EXPECT_EQ(packets.bestShots[0]->timestampUs(), 42);
    EXPECT_EQ(packets.bestShots[0]->boundingBox(), (Rect{0.1f, 0.2f, 0.3f, 0.4f}));
    EXPECT_EQ(packets.bestShots[1]->boundingBox(), (Rect{-1.0f, -1.0f, -1.0f, -1.0f}));
}

TEST(OutputPackets, NothingToDeliverGivesNoPacket) {
    qzai::PostprocessingResult result;
    result.objects["person"] = {};  // an external post-processor may name an empty class
    EXPECT_TRUE(qzai::assembleOutputPackets(result, stageShowing({{"person", true}}), 1).empty());
}
