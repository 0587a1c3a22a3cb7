#include "engine/model_details_parser.h"
#include "engine/pipeline_parser.h"

#include <gtest/gtest.h>

#include "common/json_utils.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using nlohmann::json;

namespace {

qzai::ModelMap modelsOf(const json& descriptions) {
    qzai::ModelMap models;
    for (const auto& d : descriptions) {
        auto model = qzai::parseModelDetails(d);
        models[model->id] = model;
    }
    return models;
}

const json kModels = json::parse(R"([
  {"UUID": "a", "Name": "Detector", "Classes": ["person", "car"]},
  {"UUID": "b", "Name": "Attributes"},
  {"UUID": "c", "Name": "Trigger"}])");

}  // namespace

TEST(PipelineParser, BuildsKeysLinksAndCarriesNeedsFrameUpwards) {
    const json nodes = json::parse(R"([
      {"modelUUID": "a", "method": "Conditional", "resizing": "Stretch", "modelNMS": 0.3,
       "children": [
         {"modelUUID": "b", "method": "Direct", "children": [
            {"modelUUID": "c", "method": "FeatureExtraction", "featureExtractionClass": "person"}]},
         {"modelUUID": "c"}]},
      {"modelUUID": "b", "resizing": "Crop"}])");
    const auto result = qzai::parsePipelineNodes(nodes, modelsOf(kModels), {});
    ASSERT_EQ(result.stages.size(), 2u);
    EXPECT_EQ(result.skippedNodes, 0u);

    const auto& root = result.stages[0];
    EXPECT_EQ(root.key, "a");
    EXPECT_EQ(root.chainMethod, qzai::ChainMethod::Root);  // roots ignore "method"
    EXPECT_EQ(root.resizingMethod, qzai::ResizingMethod::Stretch);
    EXPECT_FLOAT_EQ(root.nmsThreshold, 0.3f);
    EXPECT_TRUE(root.needsFrame);  // from the grandchild
    EXPECT_EQ(root.classVisualisation, (std::map<std::string, bool>{{"car", true}, {"person", true}}));

    ASSERT_EQ(root.children.size(), 2u);
    const auto& direct = root.children[0];
    EXPECT_EQ(direct.key, "ab");
    EXPECT_EQ(direct.chainMethod, qzai::ChainMethod::Direct);
    EXPECT_TRUE(direct.needsFrame);
    ASSERT_EQ(direct.children.size(), 1u);
    EXPECT_EQ(direct.children[0].key, "abc");
    EXPECT_EQ(direct.children[0].chainMethod, qzai::ChainMethod::FeatureExtraction);
    EXPECT_EQ(direct.children[0].featureExtractionClass, "person");
    EXPECT_EQ(root.children[1].key, "ac");
    EXPECT_EQ(root.children[1].chainMethod, qzai::ChainMethod::Direct);
    EXPECT_FALSE(root.children[1].needsFrame);

    EXPECT_EQ(result.stages[1].key, "b");
    EXPECT_FALSE(result.stages[1].needsFrame);
    EXPECT_EQ(result.stages[1].resizingMethod, qzai::ResizingMethod::Crop);
    EXPECT_EQ(root.children[0].model.get(), result.stages[1].model.get());  // one record per model
}

TEST(PipelineParser, SkipsUnassignedModelsWithTheirSubtreeAndMalformedNodes) {
    const json nodes = json::parse(R"([
      {"modelUUID": "missing", "children": [{"modelUUID": "a"}]},
      {"children": []},
      42,
      {"modelUUID": "a", "children": [{"modelUUID": "nope"}, {"modelUUID": "b"}]}])");
    const auto result = qzai::parsePipelineNodes(nodes, modelsOf(kModels), {});
    EXPECT_EQ(result.skippedNodes, 4u);
    ASSERT_EQ(result.stages.size(), 1u);
    ASSERT_EQ(result.stages[0].children.size(), 1u);
    EXPECT_EQ(result.stages[0].children[0].key, "ab");
    EXPECT_TRUE(qzai::parsePipelineNodes(json::object(), modelsOf(kModels), {}).stages.empty());
}

TEST(PipelineParser, ResolvesProcessorsByNameAndTakesTheirFrameNeed) {
    static int preRecord = 0, postRecord = 0;
    auto* pre = reinterpret_cast<qzai::ExternalPreprocessor_t*>(&preRecord);
    auto* post = reinterpret_cast<qzai::ExternalPostprocessor_t*>(&postRecord);
    qzai::ProcessorResolver resolver;
    resolver.preprocessor = [&](const std::string& name, bool* needsFrame) -> qzai::ExternalPreprocessor_t* {
        *needsFrame = true;  // an image pre-processor
        return name == "Blur" ? pre : nullptr;
    };
    resolver.postprocessor = [&](const std::string& name, bool* needsFrame) -> qzai::ExternalPostprocessor_t* {
        *needsFrame = false;
        return name == "Counter" ? post : nullptr;
    };
    const json nodes = json::parse(R"([
      {"modelUUID": "a", "Preprocessor": "Blur", "Postprocessor": "Counter"},
      {"modelUUID": "b", "Preprocessor": "Unknown", "Postprocessor": "LineCrossing"}])");
    const auto result = qzai::parsePipelineNodes(nodes, modelsOf(kModels), resolver);
    ASSERT_EQ(result.stages.size(), 2u);
    EXPECT_EQ(result.stages[0].preprocessor, pre);
    EXPECT_EQ(result.stages[0].postprocessor, post);
    EXPECT_TRUE(result.stages[0].needsFrame);
    EXPECT_EQ(result.stages[1].preprocessor, nullptr);
    EXPECT_EQ(result.stages[1].postprocessorName, "LineCrossing");
    EXPECT_FALSE(result.stages[1].needsFrame);  // an unconfigured name needs nothing
}

TEST(ModelDetailsParser, ReadsInputsOutputsAndClassNames) {
    const auto model = qzai::parseModelDetails(json::parse(R"({
      "UUID": "m", "Name": "Det", "LastModified": "yesterday", "DownloadURL": "http://x/m", "Size": 12,
      "InputDriverDetails": {"width": 640, "height": 480, "channels": 3, "order": 1.0,
                             "means": [1, 2, 3], "vars": [4, 5]},
      "NamedInput": [{"Name": "images", "DataType": "float", "Shape": [1, 3, 480, 640]}],
      "NamedOutput": [{"Name": "bboxes-format:xyxysc;0:person;1:car", "DataType": "int", "Shape": [1, -1, 6]},
                      {"Name": "scores-0:cat;1:dog", "DataType": "Float"}]})"));
    EXPECT_EQ(model->name, "Det");
    EXPECT_EQ(model->input.width, 640u);
    EXPECT_EQ(model->input.height, 480u);
    EXPECT_EQ(model->input.order, 0);  // only the integer 1 counts
    EXPECT_FLOAT_EQ(model->input.means[2], 3.0f);
    EXPECT_FLOAT_EQ(model->input.vars[0], 1.0f);  // a short list keeps the default
    ASSERT_EQ(model->namedInputs.size(), 1u);
    EXPECT_EQ(model->namedInputs[0].dataType, 1u);
    EXPECT_EQ(model->namedInputs[0].shape, (std::vector<int64_t>{1, 3, 480, 640}));
    EXPECT_EQ(model->namedOutputs[0].dataType, 6u);
    EXPECT_EQ(model->namedOutputs[1].dataType, 0u);
    EXPECT_EQ(model->classNames, (std::vector<std::string>{"person", "car"}));
    EXPECT_EQ(model->scoresOutputName, "scores-0:cat;1:dog");
    EXPECT_EQ(model->scoresClasses, (std::vector<std::string>{"cat", "dog"}));

    EXPECT_THROW(qzai::parseModelDetails(json::parse(R"({"Name": "no id"})")), qzai::JsonFieldError);
    EXPECT_THROW(qzai::parseModelDetails(json::array()), qzai::JsonFieldError);
    EXPECT_EQ(qzai::parseModelDetails(json::parse(R"({"UUID": "x"})"))->name, "x");
}

TEST(PipelineParser, RefusesNodesOfTheWrongShapeAndCutsTooManyLevels) {
    const auto models = modelsOf(kModels);
    const auto chain = [](size_t stages) {
        json nodes = json::array();
        for (size_t i = 0; i < stages; ++i) {
            json node = {{"modelUUID", "a"}};
            if (!nodes.empty()) node["children"] = std::move(nodes);
            nodes = json::array({std::move(node)});
        }
        return nodes;
    };
    struct Case {
        const char* name;
        json nodes;
        size_t stages;  // top-level stages kept
        size_t skipped;
        bool refused;
    };
    const Case cases[] = {
        {"deepest allowed", chain(qzai::kMaxPipelineDepth), 1, 0, false},
        {"one level more", chain(qzai::kMaxPipelineDepth + 1), 1, 1, false},
        {"nodes an object", json{{"a", 1}}, 0, 0, true},
        {"nodes a text", "x", 0, 0, true},
        {"no nodes", json(), 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = qzai::parsePipelineNodes(c.nodes, models, {});
        EXPECT_EQ(result.stages.size(), c.stages);
        EXPECT_EQ(result.skippedNodes, c.skipped);
        EXPECT_EQ(!result.error.empty(), c.refused) << result.error;
    }
}

TEST(PipelineParser, NumbersBeyondAFloatKeepTheirDefaults) {
    const auto model = qzai::parseModelDetails(json::parse(R"({"UUID": "a",
      "InputDriverDetails": {"means": [1, 1e39, 3], "vars": [2, 2, 2]}})"));
    EXPECT_EQ(model->input.means[0], 0.0f);  // the whole triple is refused
    EXPECT_EQ(model->input.vars[0], 2.0f);
    const auto result = qzai::parsePipelineNodes(json::parse(R"([{"modelUUID": "a", "modelNMS": -1e300}])"),
                                                 modelsOf(kModels), {});
    ASSERT_EQ(result.stages.size(), 1u);
    EXPECT_EQ(result.stages[0].nmsThreshold, qzai::pipeline_stage_parameters_t{}.nmsThreshold);
}
