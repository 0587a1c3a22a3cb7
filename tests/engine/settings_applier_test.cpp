#include "engine/settings_applier.h"

#include <gtest/gtest.h>

#include <limits>

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

qzai::DeviceAgentSettings_t snapshotWithStages() {
    qzai::DeviceAgentSettings_t settings;
    auto model = std::make_shared<qzai::ModelDetails_t>();
    model->id = "abc";
    model->classNames = {"person", "car", "bus"};
    qzai::pipeline_stage_parameters_t root;
    root.key = "abc";
    root.model = model;
    for (const auto& c : model->classNames) root.classVisualisation[c] = true;
    qzai::pipeline_stage_parameters_t child;
    child.key = "abcdef";
    child.model = std::make_shared<qzai::ModelDetails_t>();
    root.children.push_back(child);
    settings.stages.push_back(root);
    return settings;
}

std::string figure(const std::string& points) {
    return R"({"figure": {"points": )" + points + R"(}, "showOnCamera": true})";
}

}  // namespace

TEST(SettingsApplier, AppliesEveryPerStageSettingByKey) {
    const qzai::SettingsMap received = {
        {"deviceActiveSwitch", "true"},
        {"selectedPipeline", "p1"},
        {"cropBox_abc", figure("[[0.8, 0.9], [0.1, 0.2]]")},
        {"model_nms_abc", "30"},
        {"visualise_classes_abc", R"(["car", "extra"])"},
        {"maskType_1_abc", "exclusive"},
        {"polygon1.figure_abc", figure("[[0, 0], [1, 0], [1.5, 1]]")},
        {"polygon2.figure_abc", figure("[]")},
        {"polygon3.figure_abc", figure(R"([{"x": 0.1, "y": 0.1}, {"x": 0.2, "y": 0.1}, {"x": 0.2, "y": 0.3}])")},
        {"lineCrossingLine_abc", figure("[[0.1, 0.5], [0.9, 0.5]]")},
        {"loiterDetectionObjectClass_abc", "dog"},
        {"loiterDetectionTimeThreshold_abc", "45"},
        {"dumpingDetectionObjectType_abc", "bag"},
        {"dumpingDetectionTimeThreshold_abc", "15"},
        {"abc_preprocessor_setting_strength", "7"},
        {"abc_postprocessor_setting_zone", "north"},
        {"abcdef_postprocessor_setting_zone", "south"},
        {"model_nms_abcdef", "90"},
    };
    const auto next = qzai::applyDeviceSettings(snapshotWithStages(), received);
    EXPECT_TRUE(next->deviceActive);
    EXPECT_EQ(next->selectedPipeline, "p1");
    const auto& s = next->stages[0];
    EXPECT_FLOAT_EQ(s.cropBox[0], 0.1f);
    EXPECT_FLOAT_EQ(s.cropBox[1], 0.2f);
    EXPECT_FLOAT_EQ(s.cropBox[2], 0.8f);
    EXPECT_FLOAT_EQ(s.cropBox[3], 0.9f);
    EXPECT_NEAR(s.nmsThreshold, 0.7f, 1e-6);
    EXPECT_EQ(s.classVisualisation,
              (std::map<std::string, bool>{{"bus", false}, {"car", true}, {"extra", true}, {"person", false}}));
    ASSERT_EQ(s.masks.size(), 2u);  // mask 2 has no polygon drawn
    EXPECT_EQ(s.masks[0].type, 1);
    EXPECT_EQ(s.masks[0].points, (std::vector<float>{0, 0, 1, 0, 1, 1}));  // clamped to the frame
    EXPECT_EQ(s.masks[1].type, 0);
    EXPECT_TRUE(s.lineCrossingEnabled);
    EXPECT_FLOAT_EQ(s.lineX2, 0.9f);
    EXPECT_EQ(s.loiterObjectClass, "dog");
    EXPECT_EQ(s.loiterTimeThresholdSeconds, 45);
    EXPECT_EQ(s.dumpingObjectClass, "bag");
    EXPECT_EQ(s.dumpingTimeThresholdUs, 15'000'000);
    EXPECT_EQ(s.preprocessorSettings, (std::map<std::string, std::string>{{"strength", "7"}}));
    EXPECT_EQ(s.postprocessorSettings, (std::map<std::string, std::string>{{"zone", "north"}}));
    EXPECT_EQ(s.children[0].postprocessorSettings, (std::map<std::string, std::string>{{"zone", "south"}}));
    EXPECT_NEAR(s.children[0].nmsThreshold, 0.1f, 1e-6);
}

TEST(SettingsApplier, SensitivityIsClampedRoundedAndKeptWhenNotANumber) {
    auto nmsAfter = [](const std::string& value) {
        return qzai::applyDeviceSettings(snapshotWithStages(), {{"model_nms_abc", value}})->stages[0].nmsThreshold;
    };
    EXPECT_NEAR(nmsAfter("0"), 0.99f, 1e-6);     // clamped to 1 %
    EXPECT_NEAR(nmsAfter("250"), 0.0f, 1e-6);    // clamped to 100 %
    EXPECT_NEAR(nmsAfter("42.6"), 0.57f, 1e-6);  // a real is rounded
    EXPECT_NEAR(nmsAfter("\"20\""), 0.8f, 1e-6);
    EXPECT_FLOAT_EQ(nmsAfter("high"), 0.45f);  // not a number: unchanged
    EXPECT_FLOAT_EQ(nmsAfter(""), 0.45f);
    EXPECT_FLOAT_EQ(nmsAfter("NaN"), 0.45f);
}

TEST(SettingsApplier, BadValuesKeepWhatTheyWouldReplace) {
    auto base = snapshotWithStages();
    base.stages[0].cropBox[0] = 0.25f;
    base.stages[0].dumpingTimeThresholdUs = 60'000'000;
    const qzai::SettingsMap received = {
        {"cropBox_abc", "{not json"},
        {"visualise_classes_abc", "car"},
        {"lineCrossingLine_abc", figure("[[0.1]]")},
        {"dumpingDetectionTimeThreshold_abc", "0"},
        {"loiterDetectionTimeThreshold_abc", "-3"},
        {"polygon1.figure_abc", "[1,2]"},
    };
    const auto next = qzai::applyDeviceSettings(base, received);
    const auto& s = next->stages[0];
    EXPECT_FLOAT_EQ(s.cropBox[0], 0.25f);
    EXPECT_EQ(s.classVisualisation.size(), 3u);
    EXPECT_TRUE(s.classVisualisation.at("bus"));
    EXPECT_FALSE(s.lineCrossingEnabled);
    EXPECT_EQ(s.dumpingTimeThresholdUs, 60'000'000);
    EXPECT_EQ(s.loiterTimeThresholdSeconds, 30);
    EXPECT_TRUE(s.masks.empty());
    // Thresholds whose microseconds pass 32 bits are kept whole, and seconds
    // far beyond 64 bits of microseconds saturate instead of wrapping.
    const struct {
        const char* seconds;
        int64_t us;
    } thresholds[] = {{"2148", 2'148'000'000}, {"4295", 4'295'000'000},
                      {"1e300", std::numeric_limits<int64_t>::max() / 1'000'000 * 1'000'000}};
    for (const auto& t : thresholds) {
        const auto applied = qzai::applyDeviceSettings(base, {{"dumpingDetectionTimeThreshold_abc", t.seconds}});
        EXPECT_EQ(applied->stages[0].dumpingTimeThresholdUs, t.us) << t.seconds;
    }
    // No box drawn means the whole frame.
    const auto cleared = qzai::applyDeviceSettings(base, {{"cropBox_abc", R"({"figure": null})"}});
    EXPECT_FLOAT_EQ(cleared->stages[0].cropBox[0], 0.0f);
    EXPECT_FLOAT_EQ(cleared->stages[0].cropBox[2], 1.0f);
}
