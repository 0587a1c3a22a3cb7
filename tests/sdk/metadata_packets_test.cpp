#include <gtest/gtest.h>

#include "qz/sdk/analytics/helpers/event_metadata.h"
#include "qz/sdk/analytics/helpers/event_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_metadata.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_track_best_shot_packet.h"

namespace qz::sdk::analytics {
namespace {

TEST(MetadataPackets, PacketKeepsItsItemsAndReleasesThemWithItself) {
    auto object = makePtr<ObjectMetadata>();
    auto attribute = makePtr<Attribute>("color", "red", 0.5f);
    object->addAttribute(attribute);
    EXPECT_EQ(attribute->refCount(), 2);
    {
        auto packet = makePtr<ObjectMetadataPacket>();
        packet->addItem(object.get());
        packet->addItem(static_cast<const IObjectMetadata*>(nullptr));  // skipped
        EXPECT_EQ(object->refCount(), 2);
        ASSERT_EQ(packet->count(), 1);
        EXPECT_EQ(packet->at(1), nullptr);
        EXPECT_EQ(packet->at(-1), nullptr);
        Ptr<const IObjectMetadata> item(packet->at(0));
        EXPECT_EQ(item.get(), object.get());
        EXPECT_EQ(object->refCount(), 3);
    }
    EXPECT_EQ(object->refCount(), 1);
    object.reset();
    EXPECT_EQ(attribute->refCount(), 1);
}

TEST(MetadataPackets, DefaultsAndSetters) {
    auto packet = makePtr<EventMetadataPacket>();
    EXPECT_EQ(packet->count(), 0);
    EXPECT_EQ(packet->timestampUs(), 0);
    EXPECT_EQ(packet->durationUs(), 0);
    packet->setTimestampUs(1'700'000'000'000'000);
    packet->setDurationUs(40'000);

    auto event = createEventMetadata();
    EXPECT_FLOAT_EQ(event->confidence(), 1.0f);
    EXPECT_EQ(event->boundingBox(), (Rect{-1, -1, -1, -1}));
    EXPECT_STREQ(event->typeId(), "");
    EXPECT_STREQ(event->caption(), "");
    event->setTypeId("qz.qzai.counted");
    event->setDescription("line 1\nline 2");
    event->setIsActive(true);
    packet->addItem(event);
    EXPECT_EQ(packet->timestampUs(), 1'700'000'000'000'000);
    Ptr<const IEventMetadata> item(packet->at(0));
    EXPECT_STREQ(item->typeId(), "qz.qzai.counted");
    EXPECT_STREQ(item->description(), "line 1\nline 2");
    EXPECT_TRUE(item->isActive());

    auto objectPtr = makePtr<ObjectMetadata>();
    ObjectMetadata& object = *objectPtr;
    EXPECT_FLOAT_EQ(object.confidence(), 1.0f);
    const Uuid track = randomUuid();
    object.setTrackId(track);
    object.setBoundingBox({1, 2, 3, 4});
    object.addAttributes({makePtr<Attribute>("a", "1"), nullptr, makePtr<Attribute>("b", "2")});
    EXPECT_EQ(object.trackId(), track);
    EXPECT_EQ(object.boundingBox(), (Rect{1, 2, 3, 4}));
    ASSERT_EQ(object.attributeCount(), 2);
    object.attributes()[1]->setValue("3");
    Ptr<const IAttribute> b(object.attribute(1));
    EXPECT_STREQ(b->value(), "3");
    EXPECT_FLOAT_EQ(b->confidence(), 1.0f);
    EXPECT_EQ(object.attribute(2), nullptr);
}

TEST(MetadataPackets, BestShotStartsWithoutBoxUntilOneIsSet) {
    const Uuid track = randomUuid();
    auto shot = makePtr<ObjectTrackBestShotPacket>(track, 123);
    EXPECT_EQ(shot->boundingBox(), Rect());
    EXPECT_EQ(shot->trackId(), track);
    EXPECT_EQ(shot->timestampUs(), 123);
    shot->setBoundingBox({10, 20, 30, 40});
    EXPECT_EQ(shot->boundingBox(), (Rect{10, 20, 30, 40}));
}

}  // namespace
}  // namespace qz::sdk::analytics
