#include "inference/postprocessing/postprocessing.h"

#include <gtest/gtest.h>

#include "inference/postprocessing/detection_rows.h"
#include "inference/postprocessing/object_metadata.h"
#include "postprocessing_fixtures.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::makeDetections;
using qzai::testing::makeTensorSet;
using qzai::testing::TestCamera;

namespace {

std::vector<float> box(float x1, float cls = 0.0f) { return {x1, 64, x1 + 64, 128, 0.9f, cls}; }

class PostprocessingTest : public ::testing::Test {
protected:
    qzai::PostprocessingResult run(int64_t timestampUs, qzai::TensorSetPtr set) {
        output.request = camera.request(timestampUs);
        output.output = std::move(set);
        return qzai::Postprocessing(state, output);
    }
    // Four frames 40 ms apart make the objects of `rows` reportable.
    qzai::PostprocessingResult runUntilReported(const std::vector<float>& rows) {
        qzai::PostprocessingResult result;
        for (int64_t t = 0; t <= 160000; t += 40000) result = run(t, makeDetections(rows));
        return result;
    }

    qzai::PostprocessingState state{""};
    TestCamera camera;
    qzai::InferenceOutput output;
};

TEST_F(PostprocessingTest, TracksDetectionsAndKeepsOnlyClassesWithReportedObjects) {
    EXPECT_TRUE(run(0, makeTensorSet({{"scores-0:a", {0.5f}}})).objects.empty());
    auto rows = box(64);
    rows.insert(rows.end(), {300, 300, 400, 400, 0.9f, 1});
    const auto result = runUntilReported(rows);
    ASSERT_EQ(result.objects.size(), 2u);
    EXPECT_EQ(result.objects.at("car").size(), 1u);
    EXPECT_EQ(result.objects.at("person").size(), 1u);
    ASSERT_EQ(result.events.size(), 1u);  // counting only: no rates, scores nor line
    EXPECT_STREQ(result.events[0]->description(), "\ncar: 1\nperson: 1\n");
    EXPECT_TRUE(result.bestShots.empty());
}

TEST_F(PostprocessingTest, TensorExchangeReplacesTheSetBeforeBuiltInDecoding) {
    state.externalExchanges.tensors = [](qzai::PostprocessingState&, const std::shared_ptr<qzai::InferenceInput_t>&,
                                         const TensorSet* current) {
        EXPECT_EQ(current->count, 1u);
        return makeDetections(box(64));
    };
    // The original set (scores only) is released when replaced.
    for (int64_t t = 0; t <= 160000; t += 40000) run(t, makeTensorSet({{"scores-0:a", {0.5f}}}));
    EXPECT_EQ(state.findDeviceTracks("cam-1")->classes.at("car").size(), 1u);

    auto decoding = std::make_shared<qzai::ModelPreparation>(*camera.model().preparation());
    decoding->builtInDecoding = true;
    decoding->modelArchitecture = 42;  // decodes to an empty set carrying the input's id
    camera.model().setPreparation(decoding);
    auto replacement = makeDetections(box(64));
    replacement->id = 7;
    state.externalExchanges.tensors = [&replacement](qzai::PostprocessingState&,
                                                     const std::shared_ptr<qzai::InferenceInput_t>&,
                                                     const TensorSet*) { return std::move(replacement); };
    EXPECT_TRUE(run(200000, makeDetections(box(64))).objects.empty());
    ASSERT_NE(output.output, nullptr);
    EXPECT_EQ(output.output->id, 7u);
    EXPECT_EQ(output.output->count, 0u);
}

TEST_F(PostprocessingTest, ObjectsExchangeAnswerReplacesObjectsEventsAndBestShots) {
    size_t objectsSeen = 0;
    bool answer = false;
    state.externalExchanges.objects = [&](qzai::PostprocessingState&, const std::shared_ptr<qzai::InferenceInput_t>&,
                                          qzai::ObjectsByClass objects, qzai::EventList,
                                          const TensorSet* set) -> std::optional<qzai::PostprocessingResult> {
        objectsSeen = objects.size();
        EXPECT_EQ(qzai::findDetectionTensor(set), 0);
        if (!answer) return std::nullopt;
        qzai::PostprocessingResult replaced;
        replaced.objects["bike"];
        replaced.events.push_back(qz::sdk::analytics::createEventMetadata());
        replaced.bestShots.push_back({qz::sdk::randomUuid(), {0.1f, 0.2f, 0.3f, 0.4f}, 1});
        return replaced;
    };
    EXPECT_EQ(runUntilReported(box(64)).objects.count("car"), 1u);
    EXPECT_EQ(objectsSeen, 1u);

    answer = true;
    const auto result = run(200000, makeDetections(box(64)));
    EXPECT_EQ(result.objects.size(), 1u);
    EXPECT_TRUE(result.objects.at("bike").empty());
    EXPECT_EQ(result.events.size(), 1u);
    ASSERT_EQ(result.bestShots.size(), 1u);
    EXPECT_EQ(result.bestShots[0].hasBox, 1u);
}

TEST_F(PostprocessingTest, ObjectMetadataCarriesTheObjectsFields) {
    const auto object = runUntilReported(box(64)).objects.at("car").at(0);
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        object->data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>("Dumped Object", "True"));
    }
    const auto data = object->snapshot();
    const auto metadata = qzai::createObjectMetadata(*object);
    EXPECT_STREQ(metadata->typeId(), data.typeId.c_str());
    EXPECT_EQ(metadata->trackId(), data.trackId);
    EXPECT_FLOAT_EQ(metadata->confidence(), 0.9f);
    EXPECT_FLOAT_EQ(metadata->boundingBox().x, data.box.x);
    EXPECT_FLOAT_EQ(metadata->boundingBox().height, data.box.height);
    ASSERT_EQ(metadata->attributeCount(), 1);
    EXPECT_STREQ(metadata->attributes()[0]->value(), "True");
}

TEST(PostprocessingState, ReferenceRunRequestReplacesTheEarlierOneOfTheDevice) {
    qzai::PostprocessingState state("");
    state.requestReferenceRun("cam-1", "a");
    state.requestReferenceRun("cam-2", "b");
    state.requestReferenceRun("cam-1", "c");
    EXPECT_EQ(state.referenceRuns, (std::map<std::string, std::string>{{"cam-1", "c"}, {"cam-2", "b"}}));
    bool created = false;
    const auto device = state.deviceTracks("cam-1", &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(state.deviceTracks("cam-1", &created), device);
    EXPECT_FALSE(created);
}

}  // namespace
