#include <gtest/gtest.h>

#include "settings/pipeline_description.h"
#include "settings/support/settings_states.h"

using namespace qz::settings_test;

namespace {

qzai::pipeline_stage_parameters_t stage(const std::string& name, qzai::ChainMethod method = qzai::ChainMethod::Root) {
    auto s = makeStage(name, makeModel(name, name, {}));
    s.chainMethod = method;
    return s;
}

}  // namespace

TEST(PipelineDescription, DescribesStagesLinksAndProcessors) {
    qzai::ProcessorDeclarationsMap pre = {{"Blur", {"Blur", "", {}, {}}}};
    qzai::ProcessorDeclarationsMap post = {{"P", {"P", "", {}, {}}}};

    auto directChild = [] {
        auto a = stage("A");
        auto b = stage("B", qzai::ChainMethod::Direct);
        b.postprocessorName = "P";
        a.children.push_back(b);
        return std::vector{a};
    };
    auto withBoth = [] {
        auto a = stage("A");
        a.preprocessorName = "Blur";
        a.postprocessorName = "NotConfigured";
        return std::vector{a};
    };
    auto threeLevels = [] {
        auto a = stage("A");
        auto b = stage("B", qzai::ChainMethod::FeatureExtraction);
        auto c = stage("C", qzai::ChainMethod::Conditional);
        b.children.push_back(c);
        a.children.push_back(b);
        a.children.push_back(stage("D", static_cast<qzai::ChainMethod>(9)));
        return std::vector{a};
    };
    struct Case {
        std::string what;
        std::vector<qzai::pipeline_stage_parameters_t> stages;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"one root", {stage("Detector")}, "\nModel: Detector\n"},
        {"direct child", directChild(), "\nModel: A\n    -> Direct:\n    Model: B\n    Post-processor: P\n"},
        {"two roots", {stage("A"), stage("C")}, "\nModel: A\n\nModel: C\n"},
        {"configured and named processors", withBoth(),
         "\nModel: A\nPre-processor: Blur\nPost-processor: NotConfigured\n"},
        {"empty", {}, ""},
        {"three levels", threeLevels(),
         "\nModel: A\n    -> Feature Extraction:\n    Model: B\n        -> Conditional:\n        Model: C\n"
         "    -> Unknown:\n    Model: D\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = "head:";
        qzai::appendPipelineDescription(c.stages, text, 0, pre, post);
        EXPECT_EQ(text, "head:" + c.expected);
    }
}
