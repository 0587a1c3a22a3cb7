// Every input item of the stage sections, sent back as the host sends it,
// is accepted by the settings applier and lands in its stage; every button
// names its stage; every class of a class choice is a type of the manifest.
#include <cmath>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "common/object_type_id.h"
#include "engine/active_setting_action.h"
#include "engine/settings_applier.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"
#include "settings/settings_manager.h"
#include "settings/stage_sections.h"
#include "settings/support/settings_states.h"
#include "settings/support/settings_test_support.h"

using namespace qz::settings_test;
using nlohmann::ordered_json;
namespace keys = qzai::setting_keys;

namespace {

// An item of a stage section with the stage key of its section and, inside
// a processor's settings group, the processor infix.
struct StageItem {
    ordered_json item;
    std::string key;
    std::string infix;
};

void collectItems(const ordered_json& node, const std::string& key, const std::string& infix,
                  std::vector<StageItem>& out) {
    if (!node.is_object()) return;
    std::string k = key;
    if (node.value("type", "") == "Section") k = node["name"].get<std::string>().substr(std::string(keys::kSection).size());
    std::string in = infix;
    if (node.value("type", "") == "GroupBox" && node.contains("caption") && node["caption"].is_string()) {
        const std::string caption = node["caption"];
        if (caption.size() > 9 && caption.ends_with(" Settings") && !caption.ends_with("- Settings\n\n")) {
            // A processor group; which one shows in its first name.
            const std::string dump = node.dump();
            in = dump.find(k + keys::kPreprocessorSetting) != std::string::npos ? keys::kPreprocessorSetting
                                                                                 : keys::kPostprocessorSetting;
        }
    }
    if (node.contains("name") && node["name"].is_string() && node.value("type", "") != "Section") {
        out.push_back({node, k, in});
    }
    for (const char* nested : {"items", "sections"}) {
        if (node.contains(nested) && node[nested].is_array()) {
            for (const auto& child : node[nested]) collectItems(child, k, in, out);
        }
    }
    if (node.contains("template")) collectItems(node["template"], k, in, out);
}

std::vector<StageItem> stageItems(const std::string& modelText) {
    std::vector<StageItem> out;
    const ordered_json model = ordered_json::parse(modelText);
    for (const auto& section : model["sections"]) collectItems(section, "", "", out);
    return out;
}

// The values the host may send for one item, as texts.
std::vector<std::string> hostValues(const ordered_json& item) {
    const std::string type = item["type"];
    const std::string box = R"({"figure":{"points":[[0.1,0.2],[0.8,0.9]]},"showOnCamera":true})";
    if (type == "SpinBox" && item.contains("defaultValue")) {
        std::vector<std::string> values = {item["defaultValue"].dump()};
        if (item["defaultValue"].is_number_float()) {
            values.push_back(std::to_string(std::lround(item["defaultValue"].get<double>())));
        }
        return values;
    }
    if (type == "TextField" && item.contains("defaultValue")) return {item["defaultValue"].get<std::string>()};
    if (type == "ComboBox") {
        std::vector<std::string> values;
        for (const auto& entry : item["range"]) values.push_back(entry);
        return values;
    }
    if (type == "MultiSelectionComboBox") return {item["range"].dump()};
    if (type == "BoxFigure" || type == "LineFigure") return {box};
    if (type == "PolygonFigure") return {R"({"figure":{"points":[[0.1,0.1],[0.9,0.1],[0.5,0.9]]}})"};
    return {"value"};
}

const qzai::pipeline_stage_parameters_t* stageWithKey(const qzai::DeviceAgentSettings_t& settings,
                                                      const std::string& key) {
    for (const auto* stage : qzai::flattenPipelineStages(settings.stages)) {
        if (stage->key == key) return stage;
    }
    return nullptr;
}

bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

// Checks that the value sent for `name` landed in `stage`.
void expectLanded(const qzai::pipeline_stage_parameters_t& stage, const StageItem& at, const std::string& name,
                  const std::string& value) {
    const std::string& k = at.key;
    if (!at.infix.empty()) {
        const std::string own = name.substr(k.size() + at.infix.size());
        const auto& map = at.infix == keys::kPreprocessorSetting ? stage.preprocessorSettings : stage.postprocessorSettings;
        const auto it = map.find(own);
        ASSERT_NE(it, map.end()) << own;
        EXPECT_EQ(it->second, value);
    } else if (startsWith(name, keys::kModelNms)) {
        EXPECT_NEAR(stage.nmsThreshold, 0.58f, 1e-6);
    } else if (startsWith(name, keys::kDumpingDetectionTimeThreshold)) {
        EXPECT_EQ(stage.dumpingTimeThresholdUs, 15'000'000);
    } else if (startsWith(name, keys::kLoiterDetectionTimeThreshold)) {
        EXPECT_EQ(stage.loiterTimeThresholdSeconds, 30);
    } else if (startsWith(name, keys::kDumpingDetectionObjectType)) {
        EXPECT_EQ(stage.dumpingObjectClass, value);
    } else if (startsWith(name, keys::kLoiterDetectionObjectClass)) {
        EXPECT_EQ(stage.loiterObjectClass, value);
    } else if (startsWith(name, keys::kCropBox)) {
        EXPECT_FLOAT_EQ(stage.cropBox[2], 0.8f);
    } else if (startsWith(name, keys::kLineCrossingLine)) {
        EXPECT_TRUE(stage.lineCrossingEnabled);
    } else if (startsWith(name, keys::kPolygon)) {
        EXPECT_EQ(stage.masks.size(), 1u);
    } else if (startsWith(name, keys::kVisualiseClasses)) {
        EXPECT_TRUE(stage.classVisualisationSet);
        for (const auto& entry : ordered_json::parse(value)) EXPECT_TRUE(stage.classVisualisation.at(entry)) << entry;
    } else if (!startsWith(name, keys::kMaskType)) {  // a mask type alone makes no mask
        ADD_FAILURE() << "no field for " << name;
    }
}

std::vector<SettingsState> roundTripStates() {
    auto states = sectionStates();
    for (auto& state : settingsStates()) {
        if (state.name == "worked_ready") states.push_back(std::move(state));
    }
    return states;
}

}  // namespace

TEST(StageSettingsRoundTrip, EveryInputItemIsAcceptedAndLandsInItsStage) {
    LogCapture log{1};
    for (const auto& state : roundTripStates()) {
        SCOPED_TRACE(state.name);
        const auto items = stageItems(
            qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, state.errors, state.snapshot));
        ASSERT_FALSE(items.empty());
        size_t sent = 0;
        for (const auto& at : items) {
            if (at.item["type"] == "Button" || at.item["type"] == "GroupBox") continue;
            const std::string pattern = at.item["name"];
            const bool repeated = pattern.find('#') != std::string::npos;
            for (int n = 1; n <= (repeated ? qzai::kMaxInputMasks : 1); ++n) {
                std::string name = pattern;
                if (repeated) name.replace(name.find('#'), 1, std::to_string(n));
                for (const auto& value : hostValues(at.item)) {
                    SCOPED_TRACE(name + " = " + value);
                    std::vector<std::string> rejected;
                    const auto applied = qzai::applyDeviceSettings(*state.snapshot, {{name, value}}, &rejected);
                    EXPECT_TRUE(rejected.empty());
                    const auto* stage = stageWithKey(*applied, at.key);
                    ASSERT_NE(stage, nullptr);
                    expectLanded(*stage, at, name, value);
                    ++sent;
                }
            }
        }
        EXPECT_GT(sent, 0u);
        // A stage without a class selection from the host shows every class.
        for (const auto* stage : qzai::flattenPipelineStages(state.snapshot->stages)) {
            EXPECT_FALSE(stage->classVisualisationSet);
        }
    }
    EXPECT_EQ(log.count("Warning!"), 0u);
}

TEST(StageSettingsRoundTrip, EveryKeyTheApplierReadsIsAnItemAndEveryButtonNamesItsStage) {
    for (const auto& state : roundTripStates()) {
        SCOPED_TRACE(state.name);
        const std::string model =
            qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, state.errors, state.snapshot);
        std::set<std::string> names;
        for (const auto& at : stageItems(model)) names.insert(at.item["name"].get<std::string>());
        for (const auto* stage : qzai::flattenPipelineStages(state.snapshot->stages)) {
            const std::string& k = stage->key;
            for (const char* prefix : {keys::kModelNms, keys::kCropBox, keys::kLineCrossingLine,
                                       keys::kLoiterDetectionObjectClass, keys::kLoiterDetectionTimeThreshold,
                                       keys::kDumpingDetectionObjectType, keys::kDumpingDetectionTimeThreshold}) {
                EXPECT_TRUE(names.count(qzai::stageItemName(prefix, k))) << prefix << k;
            }
            const bool classes = !stage->model->classNames.empty();
            EXPECT_EQ(names.count(qzai::stageItemName(keys::kVisualiseClasses, k)), classes ? 1u : 0u) << k;
            // The repeater is filled 1..count, exactly the masks the applier reads.
            EXPECT_TRUE(names.count(qzai::maskTypeName("#", k)) && names.count(qzai::polygonName("#", k))) << k;
            EXPECT_NE(model.find(R"("count":)" + std::to_string(qzai::kMaxInputMasks)), std::string::npos);
        }
        for (const auto& at : stageItems(model)) {
            if (at.item["type"] != "Button" || !at.infix.empty()) continue;
            const auto action = qzai::activeSettingAction(at.item["name"]);
            EXPECT_NE(action.kind, qzai::ActiveSettingKind::Unknown) << at.item["name"];
            EXPECT_EQ(action.argument, at.key) << at.item["name"];
        }
    }
}

TEST(StageSettingsRoundTrip, EveryClassOfAClassChoiceIsATypeOfTheManifest) {
    for (const auto& state : roundTripStates()) {
        SCOPED_TRACE(state.name);
        const auto manifest = ordered_json::parse(
            qzai::SettingsManager::createDeviceAgentManifestString(*state.snapshot, state.inputs.postprocessors));
        std::set<std::string> supported;
        for (const auto& entry : manifest["supportedTypes"]) {
            if (entry.contains("objectTypeId")) supported.insert(entry["objectTypeId"].get<std::string>());
        }
        const std::string model =
            qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, state.errors, state.snapshot);
        for (const auto& at : stageItems(model)) {
            if (at.item["type"] != "MultiSelectionComboBox") continue;
            for (const auto& entry : at.item["range"]) {
                EXPECT_TRUE(supported.count(qzai::toObjectTypeId(entry.get<std::string>()))) << entry;
            }
        }
    }
}
