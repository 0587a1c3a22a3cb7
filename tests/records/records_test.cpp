#include "records/model_details.h"
#include "records/pipeline_stage.h"

#include <gtest/gtest.h>

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

qzai::pipeline_stage_parameters_t stage(const std::string& key, const std::string& modelId) {
    qzai::pipeline_stage_parameters_t s;
    s.key = key;
    if (!modelId.empty()) {
        s.model = std::make_shared<qzai::ModelDetails_t>();
        s.model->id = modelId;
    }
    return s;
}

}  // namespace

TEST(PipelineRecords, FlattenIsDepthFirstParentsBeforeChildren) {
    std::vector<qzai::pipeline_stage_parameters_t> roots;
    roots.push_back(stage("a", "a"));
    roots[0].children.push_back(stage("ab", "b"));
    roots[0].children[0].children.push_back(stage("abc", "c"));
    roots[0].children.push_back(stage("ad", "d"));
    roots.push_back(stage("e", "e"));

    std::vector<std::string> keys;
    for (const auto* s : qzai::flattenPipelineStages(roots)) keys.push_back(s->key);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "ab", "abc", "ad", "e"}));

    auto models = qzai::collectPipelineModels(roots);
    std::vector<std::string> ids;
    for (const auto& [id, model] : models) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST(PipelineRecords, StagesWithoutModelsAreLeftOutOfTheModelMap) {
    std::vector<qzai::pipeline_stage_parameters_t> roots;
    roots.push_back(stage("x", ""));
    roots[0].children.push_back(stage("xy", "y"));
    auto models = qzai::collectPipelineModels(roots);
    ASSERT_EQ(models.size(), 1u);
    EXPECT_EQ(models.begin()->first, "y");
}
