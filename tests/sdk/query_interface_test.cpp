#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qz/sdk/analytics/helpers/event_metadata.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_track_best_shot_packet.h"
#include "qz/sdk/helpers/settings_response.h"
#include "qz/sdk/helpers/string.h"
#include "support/log_capture.h"

namespace qz::sdk {
namespace {

using namespace analytics;

template <class Interface, class Object>
void expectSeenThrough(Object* object) {
    EXPECT_EQ(object->queryInterface(Interface::interfaceId()), static_cast<Interface*>(object));
    object->releaseRef();
}

// Every known id must answer exactly when it is in `implemented`; a hit adds
// one reference and returns the object as that interface, a miss leaves the
// count alone.
template <class Object, class... Interfaces>
void expectAnswersExactly(Object* object, std::set<std::string> implemented) {
    for (const char* id : kKnownInterfaceIds) {
        const int before = object->refCount();
        void* found = object->queryInterface(id);
        if (implemented.count(id)) {
            ASSERT_NE(found, nullptr) << id;
            EXPECT_EQ(object->refCount(), before + 1) << id;
            object->releaseRef();
        } else {
            EXPECT_EQ(found, nullptr) << id;
            EXPECT_EQ(object->refCount(), before) << id;
        }
    }
    // The pointer returned is the object seen through that interface.
    (expectSeenThrough<Interfaces>(object), ...);
}

TEST(QueryInterface, AnswersEveryIdOfTheChainAndNothingElse) {
    auto string = makePtr<String>("x");
    expectAnswersExactly<String, IString, IRefCountable>(string.get(), {"qz::sdk::IString", "qz::sdk::IRefCountable"});

    auto packet = makePtr<ObjectMetadataPacket>();
    expectAnswersExactly<ObjectMetadataPacket, IObjectMetadataPacket, IMetadataPacket, IDataPacket, IRefCountable>(
        packet.get(), {IObjectMetadataPacket::interfaceId(), IMetadataPacket::interfaceId(),
                          IDataPacket::interfaceId(), IRefCountable::interfaceId()});

    auto bestShot = makePtr<ObjectTrackBestShotPacket>(randomUuid(), 5);
    expectAnswersExactly<ObjectTrackBestShotPacket, IObjectTrackBestShotPacket, IMetadataPacket>(bestShot.get(),
        {IObjectTrackBestShotPacket::interfaceId(), IMetadataPacket::interfaceId(), IDataPacket::interfaceId(),
            IRefCountable::interfaceId()});

    auto event = createEventMetadata();
    expectAnswersExactly<EventMetadata, IEventMetadata, IMetadata>(
        event.get(), {IEventMetadata::interfaceId(), IMetadata::interfaceId(), IRefCountable::interfaceId()});

    auto response = makePtr<SettingsResponse>();
    expectAnswersExactly<SettingsResponse, ISettingsResponse>(
        response.get(), {ISettingsResponse::interfaceId(), IRefCountable::interfaceId()});
}

TEST(QueryInterface, UnknownOrNullIdIsLoggedAndLeavesTheCount) {
    test::LogCapture log;
    auto string = makePtr<String>("x");
    EXPECT_EQ(string->queryInterface("qz::sdk::INoSuchThing"), nullptr);
    EXPECT_EQ(string->queryInterface(nullptr), nullptr);
    EXPECT_EQ(string->queryInterface("qz::sdk::analytics::IEngine"), nullptr);  // known id: a quiet miss
    EXPECT_EQ(string->refCount(), 1);
    EXPECT_EQ(log.count(), 2u);
    EXPECT_NE(log.text().find("unknown interface id \"qz::sdk::INoSuchThing\""), std::string::npos);
    EXPECT_NE(log.text().find("null interface id"), std::string::npos);
}

TEST(QueryInterface, QueryInterfacePtrHoldsItsOwnReference) {
    auto packet = makePtr<ObjectMetadataPacket>();
    {
        auto asData = queryInterfacePtr<IDataPacket>(packet.get());
        ASSERT_TRUE(asData);
        EXPECT_EQ(packet->refCount(), 2);
        EXPECT_FALSE(queryInterfacePtr<IUncompressedVideoFrame>(asData.get()));
        EXPECT_FALSE(queryInterfacePtr<IDataPacket>(static_cast<IRefCountable*>(nullptr)));
    }
    EXPECT_EQ(packet->refCount(), 1);
}

}  // namespace
}  // namespace qz::sdk
