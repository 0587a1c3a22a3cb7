// The per-stage sections of the settings page, the renaming of processor
// settings and the device-agent manifest, against hand-written documents.
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "common/json_utils.h"
#include "settings/setting_name_prefix.h"
#include "settings/settings_manager.h"
#include "settings/stage_sections.h"
#include "settings/support/settings_model_check.h"
#include "settings/support/settings_states.h"
#include "settings/support/settings_test_support.h"

using namespace qz::settings_test;
using nlohmann::ordered_json;

namespace {

std::string buildSections(const SettingsState& state) {
    return qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, state.errors, state.snapshot);
}

std::string pretty(const std::string& text) { return ordered_json::parse(text).dump(2) + "\n"; }

// Lines of the golden ".warnings" file next to a manifest golden.
std::vector<std::string> goldenLines(const std::string& relative) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(goldenPath(relative)));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> warningLines(const LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& line : log.lines()) {
        if (line.rfind("Warning!", 0) == 0) out.push_back(line);
    }
    return out;
}

ordered_json stageGroupOf(const ordered_json& section) { return section["items"][0]; }

// The stage group's item with this caption or name (null when absent).
ordered_json stageItem(const ordered_json& section, const std::string& captionOrName) {
    const ordered_json group = stageGroupOf(section);
    for (const auto& item : group["items"]) {
        if (item.value("caption", "") == captionOrName || item.value("name", "") == captionOrName) return item;
    }
    return nullptr;
}

class StageSections : public ::testing::Test {
protected:
    LogCapture log{1};
};

}  // namespace

TEST(SettingNamePrefix, RenamesEveryNestedNameOnceAndMovesItLast) {
    const std::string p = "m1_postprocessor_setting_";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"type":"SpinBox","name":"thr","defaultValue":5})",
         R"({"type":"SpinBox","defaultValue":5,"name":")" + p + R"(thr"})"},
        {R"({"name":"a","type":"X","name":"b"})", R"({"type":"X","name":")" + p + R"(a"})"},
        {R"({"type":"GroupBox","name":"g","items":[{"type":"TextField","name":"a"},{"type":"Repeater","name":"r",)"
         R"("template":{"type":"GroupBox","name":"t","items":[{"type":"TextField","name":"x"}]}}]})",
         R"({"type":"GroupBox","items":[{"type":"TextField","name":")" + p +
             R"(a"},{"type":"Repeater","template":{"type":"GroupBox","items":[{"type":"TextField","name":")" + p +
             R"(x"}],"name":")" + p + R"(t"},"name":")" + p + R"(r"}],"name":")" + p + R"(g"})"},
        {R"({"type":"X","name":7,"items":[{"name":"a"}]})", R"({"type":"X","name":7,"items":[{"name":")" + p + R"(a"}]})"},
        {R"({"template":{"template":{"name":"deep"}}})", R"({"template":{"template":{"name":")" + p + R"(deep"}}})"},
        {R"("text")", R"("text")"},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        auto array = qzai::parseJsonKeepFirstKey("[" + input + "]");
        ASSERT_TRUE(array.has_value());
        qzai::prefixSettingNamesInArray(*array, "_postprocessor_setting_", "m1");
        EXPECT_EQ(array->at(0).dump(), expected);
    }
}

TEST(ParseJsonKeepFirstKey, KeepsTheFirstOfRepeatedKeysAndRefusesDeepOrBadText) {
    const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    const std::vector<std::pair<std::string, std::string>> cases = {  // text, compact result ("" = refused)
        {R"({"a":1,"b":2,"a":3})", R"({"a":1,"b":2})"},
        {R"({"a":{"x":1,"x":2},"a":{"y":3},"b":{"x":4}})", R"({"a":{"x":1},"b":{"x":4}})"},
        {R"([{"k":1},{"k":2,"k":{"k":3,"k":4}}])", R"([{"k":1},{"k":2}])"},
        {R"({"a":{"b":1},"c":{"a":2,"b":3,"b":4}})", R"({"a":{"b":1},"c":{"a":2,"b":3}})"},
        {nested(64), ""},
        {nested(65), ""},
        {"not json", ""},
        {"[1] 2", ""},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        const auto parsed = qzai::parseJsonKeepFirstKey(text);
        if (text == nested(64)) {
            ASSERT_TRUE(parsed.has_value());  // exactly the limit
            continue;
        }
        if (expected.empty()) {
            EXPECT_FALSE(parsed.has_value());
        } else {
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(parsed->dump(), expected);
        }
    }
    EXPECT_TRUE(qzai::parseJsonKeepFirstKey(nested(3), 3).has_value());
    EXPECT_FALSE(qzai::parseJsonKeepFirstKey(R"({"a":[{}]})", 2).has_value());
}

TEST_F(StageSections, WholeDocumentsMatchTheirGoldenFiles) {
    for (const auto& state : sectionStates()) {
        SCOPED_TRACE(state.name);
        const std::string text = buildSections(state);
        for (const auto& problem : checkSettingsModel(text)) ADD_FAILURE() << problem;
        const std::string diff = diffWithGolden("model/" + state.name + ".json", pretty(text));
        EXPECT_TRUE(diff.empty()) << diff;
    }
    // The worked one-stage page, byte for byte.
    for (const auto& state : settingsStates()) {
        if (state.name != "worked_ready") continue;
        EXPECT_EQ(buildSections(state), readFile(goldenPath("model/worked_ready.json")));
    }
    // Only the ready crop child and every-rule pages declare objects into a
    // visible class choice; the two hidden pages still log theirs.
    EXPECT_EQ(log.count("Adding object ID: hat:Hat"), 3u);
    EXPECT_EQ(log.count("Adding object ID: helmet:Helmet"), 1u);
    EXPECT_EQ(log.count("Adding object ID: car:Car PP"), 1u);
    EXPECT_EQ(log.count("Adding object ID: :"), 0u);
    EXPECT_TRUE(warningLines(log).empty());
}

TEST_F(StageSections, StageVariantsShowAndHideTheirGroups) {
    struct Case {
        std::string name;
        std::function<void(SettingsState&, qzai::DeviceAgentSettings_t&)> change;
        std::function<void(const ordered_json& sections)> expect;
        std::string warning;
    };
    const auto visible = [](const ordered_json& item) {
        EXPECT_TRUE(item.is_object()) << "no such item";
        return item.is_object() && item.value("visible", false);
    };
    const auto caption = [](const char* text) { return std::string(text); };
    const std::string preWarning = "Warning! External preprocessor settings should be a JSON document with array as root";
    const std::vector<Case> cases = {
        {"other case of line crossing",
         [](SettingsState&, qzai::DeviceAgentSettings_t& s) { s.stages[0].postprocessorName = "linecrossing"; },
         [&](const ordered_json& sections) {
             for (const char* group : {"Line Crossing", "Loitering Detection", "Illegal Dumping Detection"}) {
                 EXPECT_FALSE(visible(stageItem(sections[0], caption(group)))) << group;
             }
         },
         ""},
        {"method outside the known ones",
         [](SettingsState&, qzai::DeviceAgentSettings_t& s) { s.stages[0].chainMethod = static_cast<qzai::ChainMethod>(7); },
         [](const ordered_json& sections) { EXPECT_EQ(stageGroupOf(sections[0])["items"][0]["text"], ""); }, ""},
        {"settings object",
         [](SettingsState& st, qzai::DeviceAgentSettings_t& s) {
             s.stages[0].preprocessorName = "Blur";
             st.inputs.preprocessors["Blur"] = {"Blur", "{}", {}, {}};
         },
         [](const ordered_json& sections) {
             EXPECT_EQ(stageItem(sections[0], "Blur Settings").dump(),
                       R"({"type":"GroupBox","caption":"Blur Settings","visible":true})");
         },
         preWarning},
        {"settings not json",
         [](SettingsState& st, qzai::DeviceAgentSettings_t& s) {
             s.stages[0].preprocessorName = "Blur";
             st.inputs.preprocessors["Blur"] = {"Blur", "not json", {}, {}};
         },
         [](const ordered_json& sections) { EXPECT_FALSE(stageItem(sections[0], "Blur Settings").contains("items")); },
         preWarning},
        {"settings nested 65 deep",
         [](SettingsState& st, qzai::DeviceAgentSettings_t& s) {
             s.stages[0].preprocessorName = "Blur";
             st.inputs.preprocessors["Blur"] = {"Blur", std::string(65, '[') + std::string(65, ']'), {}, {}};
         },
         [](const ordered_json& sections) { EXPECT_FALSE(stageItem(sections[0], "Blur Settings").contains("items")); },
         preWarning},
        {"pipeline shown as Custom",
         [](SettingsState&, qzai::DeviceAgentSettings_t& s) { s.selectedPipeline = "gone"; },
         [&](const ordered_json& sections) {
             EXPECT_FALSE(visible(stageItem(sections[0], "model_nms_m1")));
             EXPECT_FALSE(visible(stageItem(sections[0]["sections"][0], "model_nms_m1m2")));
             EXPECT_TRUE(visible(sections[0]));
             EXPECT_TRUE(visible(stageItem(sections[0], "cropBox_m1")));
             EXPECT_TRUE(visible(stageItem(sections[0], "Input Masks")));
         },
         ""},
        {"two roots",
         [](SettingsState&, qzai::DeviceAgentSettings_t& s) {
             auto second = s.stages[0].children[0];
             second.key = "m2";
             second.chainMethod = qzai::ChainMethod::Direct;
             s.stages.push_back(second);
         },
         [&](const ordered_json& sections) {
             ASSERT_EQ(sections.size(), 2u);
             EXPECT_EQ(sections[1]["name"], "section_m2");
             EXPECT_EQ(sections[0]["sections"][0]["name"], "section_m1m2");
             EXPECT_FALSE(visible(stageItem(sections[1], "cropBox_m2")));  // Direct hides the region
         },
         ""},
        {"model without classes",
         [](SettingsState& st, qzai::DeviceAgentSettings_t&) { st.models.at("m1")->classNames.clear(); },
         [&](const ordered_json& sections) {
             EXPECT_FALSE(visible(stageItem(sections[0], "Input Masks")));
             EXPECT_TRUE(stageItem(sections[0], "Class Visualisation").is_null());
             EXPECT_FALSE(stageItem(sections[0]["sections"][0], "Class Visualisation").is_null());
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture caseLog{1};
        auto state = cropChildState(c.name);
        auto snapshot = std::make_shared<qzai::DeviceAgentSettings_t>(*state.snapshot);
        c.change(state, *snapshot);
        state.snapshot = snapshot;
        const std::string text = buildSections(state);
        for (const auto& problem : checkSettingsModel(text)) ADD_FAILURE() << problem;
        c.expect(ordered_json::parse(text)["sections"]);
        const auto warnings = warningLines(caseLog);
        if (c.warning.empty()) {
            EXPECT_TRUE(warnings.empty());
        } else {
            EXPECT_EQ(warnings, std::vector<std::string>{c.warning});
        }
    }
}

TEST_F(StageSections, ManifestsMatchTheirGoldenFilesAndWarnings) {
    struct Case {
        std::string golden;
        qzai::DeviceAgentSettings_t settings;
        qzai::ProcessorDeclarationsMap postprocessors;
    };
    std::vector<Case> cases;
    cases.push_back({"no_stages", {}, {}});
    {
        Case worked{"worked", {}, {}};
        auto stage = makeStage("m1", makeModel("m1", "Things", {"person", "widget", "my class", "widget"}));
        stage.postprocessorName = "PP";
        worked.settings.stages = {stage};
        worked.postprocessors["PP"] = {"PP", "", {{"widget", "Widget PP"}, {"bag", "Bag"}},
                                       {{"qz.qzai.fps", "dup"}, {"pp.event", "PP Event"}}};
        worked.postprocessors["Unused"] = {"Unused", "", {{"unused", "Unused"}}, {{"unused.event", "Unused"}}};
        cases.push_back(std::move(worked));
    }
    for (auto state : sectionStates()) {
        if (state.name == "crop_child" || state.name == "every_rule") {
            cases.push_back({state.name, *state.snapshot, state.inputs.postprocessors});
        }
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.golden);
        LogCapture caseLog{2};
        const std::string text = qzai::SettingsManager::createDeviceAgentManifestString(c.settings, c.postprocessors);
        if (c.golden == "no_stages") {
            EXPECT_EQ(text, readFile(goldenPath("manifest/no_stages.json")));
        } else {
            const std::string diff = diffWithGolden("manifest/" + c.golden + ".json", pretty(text));
            EXPECT_TRUE(diff.empty()) << diff;
            EXPECT_EQ(warningLines(caseLog), goldenLines("manifest/" + c.golden + ".warnings"));
        }
        EXPECT_EQ(caseLog.count("Device Agent Manifest: " + text), 1u);
    }
}

TEST_F(StageSections, ManifestSkipsEmptyEventIdsAndListsAnomalyOnce) {
    qzai::DeviceAgentSettings_t settings;
    for (const char* key : {"a", "b"}) {
        auto stage = makeStage(key, makeModel(key, key, {"anomaly"}));
        stage.postprocessorName = "Illegal Dumping";
        settings.stages.push_back(stage);
    }
    settings.stages[0].children.push_back(settings.stages[1]);
    settings.stages[0].children[0].key = "ab";
    settings.stages[0].children[0].postprocessorName = "E";
    qzai::ProcessorDeclarationsMap post;
    post["E"] = {"E", "", {{"anomaly", "Anomaly PP"}}, {{"", "Nameless"}, {"e.1", "One"}, {"e.1", "Again"}}};
    const auto manifest = ordered_json::parse(qzai::SettingsManager::createDeviceAgentManifestString(settings, post));
    EXPECT_EQ(manifest["typeLibrary"]["eventTypes"].size(), 7u);
    EXPECT_EQ(manifest["typeLibrary"]["objectTypes"].dump(), R"([{"id":"qz.qzai.anomaly","name":"anomaly"}])");
    EXPECT_EQ(warningLines(log),
              (std::vector<std::string>{
                  R"(Warning! External postprocessor "E" declares an empty event id. Skipping it.)",
                  R"(Warning! External postprocessor "E" declares event id "e.1" which is already in use by another )"
                  R"(assigned postprocessor. Skipping duplicate.)",
                  R"(Warning! External postprocessor "E" declares object id "anomaly" which is already in use by )"
                  R"(another assigned postprocessor or model. Skipping duplicate.)"}));
}
