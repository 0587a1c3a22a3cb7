#include "engine/settings_applier.h"

#include "settings/support/settings_test_support.h"

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

std::string shownFigure(const std::string& points) {
    return R"({"figure": {"points": )" + points + R"(}, "showOnCamera": true})";
}

}  // namespace

TEST(SettingsApplier, AppliesEveryPerStageSettingByKey) {
    const qzai::SettingsMap received = {
        {"deviceActiveSwitch", "true"},
        {"selectedPipeline", "p1"},
        {"cropBox_abc", shownFigure("[[0.8, 0.9], [0.1, 0.2]]")},
        {"model_nms_abc", "30"},
        {"visualise_classes_abc", R"(["car", "extra"])"},
        {"maskType_1_abc", "exclusive"},
        {"polygon1.figure_abc", shownFigure("[[0, 0], [1, 0], [1.5, 1]]")},
        {"polygon2.figure_abc", shownFigure("[]")},
        {"polygon3.figure_abc", shownFigure(R"([{"x": 0.1, "y": 0.1}, {"x": 0.2, "y": 0.1}, {"x": 0.2, "y": 0.3}])")},
        {"lineCrossingLine_abc", shownFigure("[[0.1, 0.5], [0.9, 0.5]]")},
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
        {"lineCrossingLine_abc", shownFigure("[[0.1]]")},
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

namespace {

// Every field the applier writes, as one text, so a test can see that a
// refused value changed nothing at all.
std::string describe(const qzai::DeviceAgentSettings_t& s) {
    std::string out = "active=" + std::to_string(s.deviceActive) + " pipeline=" + s.selectedPipeline;
    for (const auto* stage : qzai::flattenPipelineStages(s.stages)) {
        out += "\n" + stage->key + " nms=" + std::to_string(stage->nmsThreshold) + " crop=";
        for (float v : stage->cropBox) out += std::to_string(v) + ",";
        for (const auto& mask : stage->masks) {
            out += " mask" + std::to_string(mask.type) + ":";
            for (float v : mask.points) out += std::to_string(v) + ",";
        }
        out += " line=" + std::to_string(stage->lineCrossingEnabled) + ":" + std::to_string(stage->lineX1) + "," +
               std::to_string(stage->lineY2);
        out += " loiter=" + stage->loiterObjectClass + "/" + std::to_string(stage->loiterTimeThresholdSeconds);
        out += " dumping=" + stage->dumpingObjectClass + "/" + std::to_string(stage->dumpingTimeThresholdUs);
        for (const auto& [name, shown] : stage->classVisualisation) out += " " + name + "=" + std::to_string(shown);
    }
    return out;
}

qzai::DeviceAgentSettings_t configuredSnapshot() {
    auto base = snapshotWithStages();
    auto& s = base.stages[0];
    s.masks = {{0, {0.1f, 0.1f, 0.5f, 0.1f, 0.5f, 0.5f}}};
    s.lineCrossingEnabled = true;
    s.lineX1 = 0.2f, s.lineY2 = 0.7f;
    base.deviceActive = true;
    return base;
}

}  // namespace

TEST(SettingsApplier, EachRefusedValueKeepsItsFieldAndNamesItsKeyOnce) {
    struct Case {
        qzai::SettingsMap received;
        std::string refused;
    };
    const std::string box = shownFigure("[[0.1, 0.1], [0.6, 0.6]]");
    const std::string triangle = shownFigure("[[0, 0], [1, 0], [1, 1]]");
    const std::vector<Case> cases = {
        {{{"deviceActiveSwitch", "yes"}}, "deviceActiveSwitch"},
        {{{"deviceActiveSwitch", ""}}, "deviceActiveSwitch"},
        {{{"model_nms_abc", "high"}}, "model_nms_abc"},
        {{{"cropBox_abc", "{not json"}}, "cropBox_abc"},
        {{{"cropBox_abc", shownFigure("[[0.5, 0.5]]")}}, "cropBox_abc"},
        {{{"cropBox_abc", shownFigure("[[0.5, 0.1], [0.5, 0.9]]")}}, "cropBox_abc"},
        {{{"visualise_classes_abc", "car"}}, "visualise_classes_abc"},
        {{{"visualise_classes_abc", R"(["car", 3])"}}, "visualise_classes_abc"},
        {{{"visualise_classes_abc", R"(["car", ""])"}}, "visualise_classes_abc"},
        {{{"maskType_1_abc", "sideways"}, {"polygon1.figure_abc", triangle}}, "maskType_1_abc"},
        {{{"polygon1.figure_abc", triangle}, {"polygon2.figure_abc", "[1,2]"}}, "polygon2.figure_abc"},
        {{{"polygon1.figure_abc", shownFigure("[[0, 0], [1, 1]]")}}, "polygon1.figure_abc"},
        {{{"lineCrossingLine_abc", shownFigure("[[0.1, 0.1]]")}}, "lineCrossingLine_abc"},
        {{{"lineCrossingLine_abc", "line"}}, "lineCrossingLine_abc"},
        {{{"lineCrossingLine_abc", shownFigure("[[0.1, 0.1], [0.5, 0.5], [0.9, 0.1]]")}}, "lineCrossingLine_abc"},
        {{{"polygon1.figure_abc",
           shownFigure("[[0, 0], [0.5, 0], [1, 0], [1, 0.5], [1, 1], [0.5, 1], [0, 1], [0, 0.5], [0.2, 0.2]]")}},
         "polygon1.figure_abc"},
        {{{"loiterDetectionObjectClass_abc", ""}}, "loiterDetectionObjectClass_abc"},
        {{{"loiterDetectionTimeThreshold_abc", "0"}}, "loiterDetectionTimeThreshold_abc"},
        {{{"dumpingDetectionObjectType_abc", ""}}, "dumpingDetectionObjectType_abc"},
        {{{"dumpingDetectionTimeThreshold_abc", "-5"}}, "dumpingDetectionTimeThreshold_abc"},
        {{{"cropBox_abc", box}, {"model_nms_abcdef", "x"}}, "model_nms_abcdef"},
    };
    const auto base = configuredSnapshot();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refused + " <- " + c.received.begin()->second);
        qz::settings_test::LogCapture log(1);
        std::vector<std::string> rejected;
        const auto next = qzai::applyDeviceSettings(base, c.received, &rejected);
        EXPECT_EQ(rejected, std::vector<std::string>{c.refused});
        EXPECT_EQ(log.count("Warning! Ignoring setting " + c.refused + ": "), 1u);
        EXPECT_EQ(log.count("Warning!"), 1u);
        // Only the accepted companion value may change anything.
        auto expected = qzai::applyDeviceSettings(base, [&] {
            auto rest = c.received;
            rest.erase(c.refused);
            if (c.refused.rfind("maskType_", 0) == 0 || c.refused.rfind("polygon", 0) == 0) {
                std::erase_if(rest, [](const auto& kv) { return kv.first.rfind("polygon", 0) == 0; });
            }
            return rest;
        }());
        EXPECT_EQ(describe(*next), describe(*expected));
    }
}

TEST(SettingsApplier, RefusedKeysKeepThePreviouslyStoredValue) {
    qz::settings_test::LogCapture log(1);
    const auto base = snapshotWithStages();
    const qzai::SettingsMap cached = {
        {"model_nms_abc", "30"}, {"cropBox_abc", shownFigure("[[0.1, 0.1], [0.5, 0.5]]")},
        {"dumpingDetectionTimeThreshold_abc", "0"},  // a bad value left in an old cache
        {"abc_postprocessor_setting_note", "short"}};
    // Masks beyond the repeater's five and values over 64 KiB: dropped unread, one line for all.
    const qzai::SettingsMap sent = {{"model_nms_abc", "high"},
                                    {"cropBox_abc", shownFigure("[[0.2, 0.2], [0.9, 0.9]]")},
                                    {"loiterDetectionObjectClass_abc", ""},
                                    {"dumpingDetectionTimeThreshold_abc", "x"},
                                    {"abc_postprocessor_setting_note", std::string(65537, 'x')},
                                    {"polygon6.figure_abc", shownFigure("[[0, 0], [1, 0], [1, 1]]")},
                                    {"maskType_01_abc", "exclusive"}};
    const auto accepted = qzai::acceptReceivedSettings(cached, sent, base);
    EXPECT_EQ(accepted.rejected, (std::vector<std::string>{"model_nms_abc", "loiterDetectionObjectClass_abc",
                                                            "dumpingDetectionTimeThreshold_abc"}));
    EXPECT_EQ(accepted.stored, (qzai::SettingsMap{{"model_nms_abc", "30"},
                                                  {"cropBox_abc", shownFigure("[[0.2, 0.2], [0.9, 0.9]]")},
                                                  {"abc_postprocessor_setting_note", "short"}}));
    const auto& stage = accepted.snapshot->stages[0];
    EXPECT_NEAR(stage.nmsThreshold, 0.7f, 1e-6);
    EXPECT_FLOAT_EQ(stage.cropBox[2], 0.9f);
    EXPECT_EQ(stage.loiterObjectClass, "person");
    EXPECT_EQ(stage.dumpingTimeThresholdUs, 60'000'000);
    EXPECT_EQ(log.count("Warning! Ignoring 3 settings that no stage reads"), 1u);
    EXPECT_EQ(log.count("Warning!"), 4u);  // one per refused key, none for the stale cached value

    // The same map again changes nothing.
    const auto again = qzai::acceptReceivedSettings(accepted.stored, sent, base);
    EXPECT_EQ(again.stored, accepted.stored);
    EXPECT_EQ(describe(*again.snapshot), describe(*accepted.snapshot));
}
