// The objects post-processor messages: requests checked byte-wise by the
// test walker, responses built with the test encoder and applied to a
// device's tracked objects.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/object_type_id.h"
#include "common/support/log_capture.h"
#include "inference/processors/postprocessor_exchanges.h"
#include "external/processor_config.h"
#include "external/support/msgpack_walk.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/video_frame.h"
#include "qz/sdk/analytics/helpers/event_metadata.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::LogCapture;
using qz::test::MpEncoder;
using qz::test::MpValue;
using qz::test::mpWalk;

namespace {

const char* const kA = "{0A0A0A0A-0000-4000-8000-00000000000A}";
const char* const kB = "{0B0B0B0B-0000-4000-8000-00000000000B}";
const char* const kSource = "{05050505-0000-4000-8000-000000000005}";
const char* const kNew = "{0C0C0C0C-0000-4000-8000-00000000000C}";

qzai::QzAIObjectPtr makeObject(const char* id, qzai::BoxXywh box, std::vector<std::pair<std::string, std::string>> attrs = {}) {
    qzai::QzAIObjectData_t data;
    data.trackId = qz::sdk::uuidFromString(id);
    data.box = box;
    data.confidence = 0.5f;
    data.typeId = "car";
    for (auto& [n, v] : attrs) data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>(n, v, 0.7f));
    return std::make_shared<qzai::QzAIObject_t>(std::move(data));
}

std::string attributesOf(const qzai::QzAIObjectPtr& object) {
    std::string out;
    for (const auto& a : object->snapshot().attributes) out += std::string(a->name()) + "=" + a->value() + ";";
    return out;
}

struct Fixture {
    Fixture() {
        request.timestampUs = 5'000'000;
        request.details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-1", "Camera 1"});
        request.stage = &stage;
        auto device = state.deviceTracks("cam-1");
        a = makeObject(kA, {0.1f, 0.1f, 0.2f, 0.2f}, {{"colour", "red"}, {"make", "x"}});
        b = makeObject(kB, {0.5f, 0.5f, 0.1f, 0.1f});
        device->classes["car"] = {a, b};
    }
    qzai::QzAIObjectList& tracked(const std::string& className) { return state.deviceTracks("cam-1")->classes[className]; }
    qzai::PostprocessingResult apply(const std::string& bytes) {
        return qzai::deserializePostprocessorResponse(
            state, request, {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    }

    qzai::PostprocessingState state{""};
    qzai::pipeline_stage_parameters_t stage;
    qzai::InferenceInput_t request;
    qzai::QzAIObjectPtr a, b;
};

// A response whose "Objects" holds one class "car" with the given entries
// (each written by the function), then "Events" and "BestShots" as raw parts.
std::string response(std::vector<std::function<void(MpEncoder&)>> entries,
                     std::string events = MpEncoder().array(0).bytes(),
                     std::string shots = "") {
    MpEncoder e;
    e.map(shots.empty() ? 4 : 5).str("Timestamp").sint(5'000'000).str("DeviceID").str("cam-1");
    e.str("Objects").map(1).str("car").array(static_cast<uint32_t>(entries.size()));
    for (auto& entry : entries) entry(e);
    e.str("Events").raw(events);
    if (!shots.empty()) e.str("BestShots").raw(shots);
    return e.bytes();
}

TEST(ObjectsMessages, RequestHasItsKeysInOrderWithEachOptionalKeyPresentOrAbsent) {
    struct Case {
        const char* name;
        bool source, settings, image, tensors, frame;
        std::vector<std::string> keys;
    };
    const std::vector<std::string> base = {"Timestamp", "DeviceID", "DeviceName", "Objects", "Events"};
    auto with = [&](std::vector<std::string> more) {
        auto keys = base;
        keys.insert(keys.end(), more.begin(), more.end());
        return keys;
    };
    const Case cases[] = {
        {"none", false, false, false, false, true, base},
        {"all", true, true, true, true, true, with({"OriginalObjectID", "UserSettings", "ImageData", "Tensors"})},
        {"source", true, false, false, false, true, with({"OriginalObjectID"})},
        {"settings", false, true, false, false, true, with({"UserSettings"})},
        {"image", false, false, true, false, true, with({"ImageData"})},
        {"tensors", false, false, false, true, true, with({"Tensors"})},
        // An image-receiving processor and a request without a frame.
        {"image without frame", false, false, true, false, false, base},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.source) f.request.sourceObject = makeObject(kSource, {});
        if (c.settings) f.stage.postprocessorSettings = {{"zeta", "1"}, {"alpha", "2"}};
        const std::vector<uint8_t> pixels(2 * 3 * 12, 7);
        if (c.frame) f.request.frame = std::make_shared<qzai::VideoFrame>(pixels, 3, 2, 1);
        qzai::ExternalPostprocessor_t processor;
        processor.receiveInputImage = c.image;
        processor.receiveBinaryData = c.tensors;
        std::vector<int32_t> shape = {2, 3};
        std::string data(24, 'd');
        char name[] = "out format:xyxysc";
        ::Tensor tensor{name, 1, 2, shape.data(), data.size(), data.data()};
        ::TensorSet set{0, 1, &tensor};
        auto event = qz::sdk::analytics::createEventMetadata();
        event->setTypeId("ev.type");
        event->setDescription("said");
        qzai::ObjectsByClass objects = {{"person", {f.b}}, {"car", {f.a}}};
        auto message = qzai::serializePostprocessorRequest(f.request, objects, {event}, processor, &set);
        ASSERT_TRUE(message);
        auto root = mpWalk({reinterpret_cast<const char*>(message->data.get()), message->size});
        ASSERT_TRUE(root);
        EXPECT_EQ(root->keys(), c.keys);
        EXPECT_EQ(root->at("Timestamp")->u, 5'000'000u);
        // Classes ascending; each object 7 pairs with float 32 boxes and a 38-character id.
        EXPECT_EQ(root->at("Objects")->keys(), (std::vector<std::string>{"car", "person"}));
        const MpValue& car = root->at("Objects")->items[1].items[0];
        EXPECT_EQ(car.keys(), (std::vector<std::string>{"ID", "x", "y", "width", "height", "confidence", "attributes"}));
        EXPECT_EQ(car.at("ID")->bytes, kA);
        EXPECT_EQ(car.at("x")->format, "float32");
        EXPECT_FLOAT_EQ(static_cast<float>(car.at("width")->f), 0.2f);
        EXPECT_EQ(car.at("attributes")->keys(), (std::vector<std::string>{"colour", "make"}));
        EXPECT_EQ(root->at("Events")->items[0].keys(), (std::vector<std::string>{"ID", "Description"}));
        EXPECT_EQ(root->at("Events")->items[0].at("ID")->bytes, "ev.type");
        if (c.source) {
            EXPECT_EQ(root->at("OriginalObjectID")->bytes, kSource);
        }
        if (c.settings) {
            EXPECT_EQ(root->at("UserSettings")->keys(), (std::vector<std::string>{"alpha", "zeta"}));
        }
        if (c.image && c.frame) {
            const MpValue& image = *root->at("ImageData");
            EXPECT_EQ(image.keys(), (std::vector<std::string>{"Height", "Width", "Layout", "Data"}));
            EXPECT_EQ(image.at("Height")->u, 2u);
            EXPECT_EQ(image.at("Data")->bytes.size(), pixels.size());
        }
        if (c.tensors) {
            const MpValue& tensors = *root->at("Tensors");
            ASSERT_EQ(tensors.format.substr(0, 5), "fixar");
            ASSERT_EQ(tensors.items.size(), 1u);
            EXPECT_EQ(tensors.items[0].keys(), (std::vector<std::string>{"Name", "DataType", "Shape", "Data"}));
            EXPECT_EQ(tensors.items[0].at("Data")->bytes, data);
            EXPECT_EQ(tensors.items[0].at("Shape")->items.size(), 2u);
        }
    }
}

TEST(ObjectsMessages, TensorTooLargeForABinIsAWriterErrorNotACut) {
    Fixture f;
    LogCapture log;
    qzai::ExternalPostprocessor_t processor;
    processor.receiveBinaryData = true;
    char byte = 0;
    std::vector<int32_t> shape = {1};
    char name[] = "huge";
    ::Tensor tensor{name, 1, 1, shape.data(), uint64_t{1} << 32, &byte};
    ::TensorSet set{0, 1, &tensor};
    EXPECT_FALSE(qzai::serializePostprocessorRequest(f.request, {}, {}, processor, &set));
    EXPECT_TRUE(log.contains("Error: Failed to serialize objects for postprocessor\n"));
}

TEST(ObjectsMessages, ResponsesApplyToTheDevicesTrackedObjects) {
    struct Case {
        const char* name;
        std::string bytes;
        std::function<void(Fixture&, const qzai::PostprocessingResult&)> check;
        std::vector<std::string> warnings;
    };
    const std::string tree = "Warning: Could not properly destroy mpack tree in deserialization\n";
    const Case cases[] = {
        {"echo, rename and create",
         response({[](MpEncoder& e) { e.map(1).str("ID").str(kA); },
                   [](MpEncoder& e) { e.map(2).str("ID").str(kB).str("NewID").str(kNew); },
                   [](MpEncoder& e) {
                       e.map(6).str("NewID").str("{0D0D0D0D-0000-4000-8000-00000000000D}").str("x").f32(0.25f);
                       e.str("y").uint(0).str("width").f64(0.5).str("height").sint(1).str("confidence").f32(0.75f);
                   }}),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             ASSERT_EQ(r.objects.at("car").size(), 3u);
             EXPECT_EQ(r.objects.at("car")[0], f.a);
             EXPECT_EQ(f.a->snapshot().lastSeenUs, 5'000'000);
             EXPECT_EQ(qz::sdk::uuidToString(f.b->snapshot().trackId, 255), kNew);
             const auto created = r.objects.at("car")[2]->snapshot();
             EXPECT_EQ(qz::sdk::uuidToString(created.trackId, 255), "{0D0D0D0D-0000-4000-8000-00000000000D}");
             EXPECT_EQ(created.box.x, 0.25f);
             EXPECT_EQ(created.box.height, 1.0f);
             EXPECT_EQ(created.confidence, 0.75f);
             EXPECT_EQ(created.firstSeenUs, 5'000'000);
             EXPECT_EQ(created.typeId, qzai::toObjectTypeId("car"));
             EXPECT_EQ(f.tracked("car").size(), 3u);
         },
         {}},
        {"new object without a confidence",
         response({[](MpEncoder& e) {
             e.map(5).str("NewID").str(kNew).str("x").f32(0).str("y").f32(0).str("width").f32(1).str("height").f32(1);
         }}),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             EXPECT_TRUE(r.objects.at("car").empty());
             EXPECT_EQ(f.tracked("car").size(), 2u);
         },
         {"Warning! New object returned without a complete bounding box and confidence. Ignoring.\n"}},
        {"incomplete box keeps the box, the rest applies",
         response({[](MpEncoder& e) {
             e.map(5).str("ID").str(kA).str("x").f32(0.9f).str("y").f32(0.9f).str("confidence").f32(0.3f);
             e.str("skipFeatureExtraction").raw("\xc3");
         }}),
         [](Fixture& f, const qzai::PostprocessingResult&) {
             const auto a = f.a->snapshot();
             EXPECT_EQ(a.box.x, 0.1f);
             EXPECT_EQ(a.confidence, 0.3f);
             EXPECT_TRUE(a.skipFeatureExtraction);
         },
         {"Warning! Object returned with an incomplete bounding box. Ignoring the bounding box.\n"}},
        {"set and remove attributes",
         response({[](MpEncoder& e) {
             e.map(3).str("ID").str(kA).str("attributes").map(2).str("colour").str("blue").str("size").str("L");
             e.str("removeAttributes").array(2).str("make").uint(3);
         }}),
         [](Fixture& f, const qzai::PostprocessingResult&) { EXPECT_EQ(attributesOf(f.a), "colour=blue;size=L;"); },
         {"Warning! removeAttributes entry is not a string. Skipping.\n"}},
        {"a 256-byte attribute stops the reading there",
         response({[](MpEncoder& e) {
                       e.map(2).str("ID").str(kA).str("attributes").map(2).str("colour").str("green");
                       e.str("long").str(std::string(256, 'v'));
                   },
                   [](MpEncoder& e) { e.map(2).str("ID").str(kB).str("confidence").f32(0.01f); }},
                  MpEncoder().array(1).map(2).str("ID").str("x").str("Description").str("y").bytes()),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             EXPECT_EQ(attributesOf(f.a), "colour=green;make=x;");
             EXPECT_EQ(r.objects.at("car").size(), 1u);
             EXPECT_EQ(f.b->snapshot().confidence, 0.5f);
             EXPECT_TRUE(r.events.empty());
         },
         {"Warning! Failed to read attribute strings. Skipping.\n", tree}},
        {"events and best shots with and without a box",
         response({}, MpEncoder().array(2).map(2).str("ID").str("e").str("Description").str("d").map(2).str("ID").uint(3).str("Description").str("f").bytes(),
                  MpEncoder()
                      .array(3)
                      .map(1).str("TrackId").str(kA)
                      .map(2).str("TrackId").str(kB).str("BoundingBox").map(4)
                      .str("x").uint(0).str("y").f32(0.5f).str("width").f64(0.25).str("height").sint(1)
                      .map(1).str("TrackId").str("not an id")
                      .bytes()),
         [](Fixture&, const qzai::PostprocessingResult& r) {
             ASSERT_EQ(r.events.size(), 1u);
             EXPECT_STREQ(r.events[0]->typeId(), "e");
             EXPECT_STREQ(r.events[0]->description(), "d");
             ASSERT_EQ(r.bestShots.size(), 2u);
             EXPECT_EQ(r.bestShots[0].hasBox, 0u);
             EXPECT_EQ(r.bestShots[1].hasBox, 1u);
             EXPECT_EQ(r.bestShots[1].box.y, 0.5f);
             EXPECT_EQ(qz::sdk::uuidToString(r.bestShots[1].trackId, 255), kB);
         },
         {"Warning! Event missing required string fields. Skipping.\n",
          "Warning! Unreadable object id \"not an id\". Ignoring it.\n"}},
        {"without Events the objects apply and the best shots are not read",
         MpEncoder().map(3).str("Timestamp").sint(1).str("DeviceID").str("cam-1").str("Objects").map(1).str("car")
             .array(1).map(2).str("ID").str(kA).str("confidence").f32(0.2f).bytes(),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             EXPECT_EQ(f.a->snapshot().confidence, 0.2f);
             EXPECT_EQ(r.objects.at("car").size(), 1u);
         },
         {tree}},
        {"unreadable new ids never become a track id",
         response({[](MpEncoder& e) { e.map(2).str("ID").str(kA).str("NewID").str("garbage"); },
                   [](MpEncoder& e) {
                       e.map(6).str("NewID").str("bad").str("x").f32(0).str("y").f32(0).str("width").f32(1);
                       e.str("height").f32(1).str("confidence").f32(1);
                   },
                   [](MpEncoder& e) { e.map(1).str("ID").str("zzz"); }}),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             EXPECT_EQ(qz::sdk::uuidToString(f.a->snapshot().trackId, 255), kA);
             ASSERT_EQ(r.objects.at("car").size(), 2u);
             EXPECT_FALSE(r.objects.at("car")[1]->snapshot().trackId.isNull());
         },
         // One line for each kind of warning in a response, with its count.
         {"Warning! Unreadable object id \"garbage\". Ignoring it. (2 times in this response)\n",
          "Warning! Could not find object ID: zzz in class car. Ignoring.\n"}},
        {"the request's source object is found by its id",
         response({[](MpEncoder& e) { e.map(2).str("ID").str(kSource).str("confidence").f32(0.6f); }}),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             ASSERT_EQ(r.objects.at("car").size(), 1u);
             EXPECT_EQ(r.objects.at("car")[0], f.request.sourceObject);
             EXPECT_EQ(f.request.sourceObject->snapshot().confidence, 0.6f);
         },
         {}},
        {"an empty answer gives nothing",
         MpEncoder().map(4).str("Timestamp").sint(1).str("DeviceID").str("cam-1").str("Objects").nil().str("Events")
             .nil().bytes(),
         [](Fixture&, const qzai::PostprocessingResult& r) {
             EXPECT_TRUE(r.objects.empty() && r.events.empty() && r.bestShots.empty());
         },
         {}},
        {"entries beyond 4,096 and attributes beyond 64 are dropped",
         response(std::vector<std::function<void(MpEncoder&)>>(4100,
                                                                [](MpEncoder& e) {
                                                                    e.map(2).str("ID").str(kA).str("attributes").map(63);
                                                                    for (int i = 0; i < 63; ++i)
                                                                        e.str("a" + std::to_string(i)).str("v");
                                                                })),
         [](Fixture& f, const qzai::PostprocessingResult& r) {
             EXPECT_EQ(r.objects.at("car").size(), 4096u);
             EXPECT_EQ(f.a->snapshot().attributes.size(), 64u);
         },
         {"Warning! Answer for device cam-1: 4 objects, 0 events and 0 best shots beyond the first 4096 of each "
          "dropped.\n",
          "Warning! Object already has 64 attributes. Dropping attribute a62. (4096 times in this response)\n"}},
        {"a class key that is not a str is skipped",
         MpEncoder().map(4).str("Timestamp").sint(1).str("DeviceID").str("cam-1").str("Objects").map(2).uint(1)
             .array(0).str("bike").array(0).str("Events").array(0).bytes(),
         [](Fixture&, const qzai::PostprocessingResult& r) {
             EXPECT_EQ(r.objects.size(), 1u);
             EXPECT_TRUE(r.objects.at("bike").empty());
         },
         {"Warning! Class key is not a string. Skipping.\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.request.sourceObject = makeObject(kSource, {});
        LogCapture log;
        const qzai::PostprocessingResult result = f.apply(c.bytes);
        c.check(f, result);
        for (const std::string& warning : c.warnings) EXPECT_EQ(log.count(warning), 1u) << warning;
        if (std::find(c.warnings.begin(), c.warnings.end(), tree) == c.warnings.end()) {
            EXPECT_EQ(log.count(tree), 0u);
        }
        for (const auto& [name, list] : f.state.deviceTracks("cam-1")->classes)
            for (const auto& object : list) EXPECT_FALSE(object->snapshot().trackId.isNull());
    }
}

TEST(ObjectsMessages, UnknownDevicesAndUnreadableBytesChangeNothing) {
    Fixture f;
    LogCapture log;
    f.request.details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-9", "Nine"});
    EXPECT_TRUE(f.apply(response({[](MpEncoder& e) { e.map(1).str("ID").str(kA); }})).objects.empty());
    EXPECT_TRUE(log.contains("Warning! Device cam-9 not found in cache during deserialization.\n"));
    EXPECT_TRUE(f.apply("\xc1").objects.empty());
    EXPECT_TRUE(log.contains("Error: failed to parse incoming msgpack response\n"));
}

TEST(ObjectsMessages, ObjectsCreatedInAClassTheModelNeverDetectsAreCut) {
    Fixture f;
    for (int i = 0; i < 100; ++i) {
        auto object = makeObject(kA, {});
        object->data.trackId = qz::sdk::randomUuid();
        object->data.lastSeenUs = i;
        f.tracked("made").push_back(object);
    }
    MpEncoder e;
    e.map(4).str("Timestamp").sint(1).str("DeviceID").str("cam-1").str("Objects").map(1).str("made").array(1);
    e.map(6).str("NewID").str("").str("x").f32(0).str("y").f32(0).str("width").f32(1).str("height").f32(1);
    e.str("confidence").f32(1).str("Events").array(0);
    const auto result = f.apply(e.bytes());
    ASSERT_EQ(result.objects.at("made").size(), 1u);
    EXPECT_EQ(f.tracked("made").size(), 70u);
    // The newest survive, the new object among them.
    EXPECT_EQ(f.tracked("made")[0], result.objects.at("made")[0]);
}


// Classes an answer may bring beyond the model's and the processor's: at
// most 1,024 per device, each counted once, however many the model has.
TEST(ObjectsMessages, ClassesBeyondTheModelsAreCappedPerDevice) {
    struct Case {
        const char* name;
        int modelClasses;               // besides "car", each tracked with one object
        int heldOthers;                 // other classes the device already holds
        std::vector<int> answers;       // new classes per answer, one new object each
        std::vector<size_t> admitted;   // of which admitted
    };
    const Case cases[] = {
        {"2,000 new classes per answer", 1, 0, {2000, 2000}, {1024, 0}},
        {"a model of 1,024 classes", 1023, 0, {10}, {10}},
        {"classes held already count", 1, 1000, {50, 50}, {24, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.stage.model = std::make_shared<qzai::ModelDetails_t>();
        f.stage.model->classNames = {"car"};
        for (int i = 0; i < c.modelClasses; ++i) {
            f.stage.model->classNames.push_back("model-" + std::to_string(i));
            f.tracked("model-" + std::to_string(i)).push_back(makeObject(kA, {}));
        }
        for (int i = 0; i < c.heldOthers; ++i) f.tracked("held-" + std::to_string(i)).push_back(makeObject(kB, {}));
        for (size_t a = 0; a < c.answers.size(); ++a) {
            MpEncoder e;
            e.map(4).str("Timestamp").sint(1).str("DeviceID").str("cam-1").str("Objects").map(c.answers[a]);
            for (int i = 0; i < c.answers[a]; ++i) {
                e.str("new-" + std::to_string(a) + "-" + std::to_string(i)).array(1).map(6).str("NewID").str("");
                e.str("x").f32(0).str("y").f32(0).str("width").f32(1).str("height").f32(1).str("confidence").f32(1);
            }
            e.str("Events").array(0);
            EXPECT_EQ(f.apply(e.bytes()).objects.size(), c.admitted[a]) << "answer " << a;
        }
    }
}

}  // namespace
