// The device-agent settings model and the engine manifest, built from plain
// inputs.
#include <gtest/gtest.h>

#include "engine/pipeline_parser.h"
#include "settings/settings_manager.h"
#include "settings/support/settings_model_check.h"
#include "settings/support/settings_states.h"
#include "settings/support/settings_test_support.h"

using namespace qz::settings_test;
using nlohmann::ordered_json;
using Type = qzai::MessagingManager::MessageType;

namespace {

std::string build(const SettingsState& state) {
    return qzai::SettingsManager::createDeviceAgentSettingsModelString(state.inputs, state.errors, state.snapshot);
}

// Builds, checks the structure and parses.
ordered_json buildChecked(const SettingsState& state) {
    const std::string text = build(state);
    for (const auto& problem : checkSettingsModel(text)) ADD_FAILURE() << state.name << ": " << problem;
    return ordered_json::parse(text);
}

SettingsState stateNamed(const std::string& name) {
    for (auto& state : settingsStates()) {
        if (state.name == name) return state;
    }
    throw std::runtime_error("no state " + name);
}

// The root item with this name (null when absent).
ordered_json itemNamed(const ordered_json& model, const std::string& name) {
    for (const auto& item : model["items"]) {
        if (item.value("name", "") == name) return item;
    }
    return nullptr;
}

std::vector<std::string> bannerTexts(const ordered_json& model) {
    std::vector<std::string> texts;
    for (const auto& item : model["items"]) {
        if (item["type"] == "Banner") texts.push_back(item.value("text", "<none>"));
    }
    return texts;
}

std::shared_ptr<qzai::DeviceAgentSettings_t> mutableSnapshot(const SettingsState& state) {
    return std::make_shared<qzai::DeviceAgentSettings_t>(*state.snapshot);
}

class SettingsModel : public ::testing::Test {
protected:
    LogCapture log{1};
};

}  // namespace

TEST_F(SettingsModel, RootItemsOfEveryStateMatchTheirGoldenFile) {
    for (const auto& state : settingsStates()) {
        SCOPED_TRACE(state.name);
        const std::string text = build(state);
        for (const auto& problem : checkSettingsModel(text)) ADD_FAILURE() << problem;
        const std::string diff = diffWithGolden("items/" + state.name + ".json", prettyItems(text));
        EXPECT_TRUE(diff.empty()) << diff;
    }
    // The unregistered state says so once, at the basic level; the page
    // itself is logged only at the verbose level.
    EXPECT_EQ(log.count("Server not registered. Status: 0"), 1u);
    EXPECT_EQ(log.count("Device Agent Settings Model: "), 0u);
}

TEST_F(SettingsModel, EngineManifestIsTheFixedTextLoggedOncePerCall) {
    const std::string expected =
        R"({"capabilities":"needUncompressedVideoFrames_yuv420","preferredStream":"secondary",)"
        R"("deviceAgentSettingsModel":{"type":"Settings","items":[{"type":"Banner","icon":"info",)"
        R"("text":"Enable the plugin and press Apply to start working with the plugin."}]}})";
    EXPECT_EQ(qzai::SettingsManager::createEngineManifestString(), expected);
    EXPECT_EQ(qzai::SettingsManager::createEngineManifestString(), expected);
    EXPECT_EQ(log.count("Engine manifest string: " + expected), 2u);
    EXPECT_EQ(expected.find("sections"), std::string::npos);
}

TEST_F(SettingsModel, StatusBannerTextFollowsCloudAndRuntimeState) {
    struct Case {
        int cloud;
        int runtime;
        std::vector<std::string> banners;  // texts of the banners before the switch
    };
    const std::string detecting =
        "The AI Plugin is detecting the available AI accelerators on your device. Please wait a moment and "
        "click the 'Refresh' button.";
    const std::string installing =
        "The AI Plugin is installing your acceleration library. Please wait a moment and click the 'Refresh' "
        "button.";
    const std::vector<Case> cases = {
        {0, 6, {"<none>"}},
        {1, 6,
         {"Checking if your device is registered. Click the 'Refresh' button to check if it's completed."}},
        {2, 6,
         {"This system is not registered to a cloud user. Add a cloud user through the System Administration."}},
        {3, 6,
         {"This server is currently being registered. Click the 'Refresh' button to check if it's completed. If "
          "this is taking longer than usual, there may be a problem with your cloud connection."}},
        {4, 6,
         {"Something went wrong with registering this server. Please check your cloud connection. If the "
          "problem persists, contact support."}},
        {6, 6, {"<none>"}},
        {4, 0, {"Something went wrong with registering this server. Please check your cloud connection. If the "
                "problem persists, contact support."}},  // the runtime waits behind the cloud
        {5, 0, {detecting}},
        {5, 1, {"Multiple AI-capable devices detected. Select one to use."}},
        {5, 2, {installing}},
        {5, 3, {installing}},
        {5, 4, {"The AI Plugin could not install the acceleration library. Please contact support."}},
        {5, 5, {"The AI Plugin could not find any runtimes compatible with your device. Please contact support."}},
        {5, 6, {}},
        {5, 7, {detecting}},
        {5, 99, {"<none>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("cloud " + std::to_string(c.cloud) + " runtime " + std::to_string(c.runtime));
        auto state = stateNamed("worked_ready");
        state.inputs.cloudState = static_cast<qzai::CloudConnectionState>(c.cloud);
        state.inputs.runtime.state = static_cast<qzai::RuntimeState>(c.runtime);
        const auto model = buildChecked(state);
        std::vector<std::string> before;
        for (const auto& item : model["items"]) {
            if (item.value("name", "") == "deviceActiveSwitch") break;
            if (item["type"] == "Banner") before.push_back(item.value("text", "<none>"));
        }
        EXPECT_EQ(before, c.banners);
        EXPECT_EQ(itemNamed(model, "deviceActiveSwitch")["visible"], c.banners.empty());
    }
}

TEST_F(SettingsModel, PipelineChoiceAndManageButton) {
    struct Case {
        std::vector<qzai::AvailablePipeline_t> available;
        std::string selected;
        bool choice;            // a ComboBox is present
        std::string shown;      // its default value
        bool manageVisible;
        std::string captions = "";  // when given: "itemCaptions" as compact JSON
    };
    const std::vector<Case> cases = {
        // A repeated id keeps its first entry; a cloud "Custom" is not offered.
        {{{"{}", "People", "p1"}, {"{}", "Again", "p1"}, {"{}", "Cloud", "Custom"}}, "p1", true, "p1", false,
         R"({"p1":"People","Custom":"Custom"})"},
        {{{"{}", "People", "p1"}, {"{}", "Cars", "p2"}}, "p2", true, "p2", false},
        {{{"{}", "People", "p1"}}, "gone", true, "Custom", true},
        {{{"{}", "People", "p1"}}, "Custom", true, "Custom", true},
        {{{"{}", "People", "p1"}}, "", false, "", false},
        {{}, "p1", false, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("selected '" + c.selected + "' of " + std::to_string(c.available.size()));
        auto state = stateNamed("worked_ready");
        auto snapshot = mutableSnapshot(state);
        snapshot->availablePipelines = c.available;
        snapshot->selectedPipeline = c.selected;
        state.snapshot = snapshot;
        const auto model = buildChecked(state);
        const auto choice = itemNamed(model, "selectedPipeline");
        EXPECT_EQ(!choice.is_null(), c.choice);
        if (c.choice) {
            EXPECT_EQ(choice["defaultValue"], c.shown);
        }
        if (!c.captions.empty()) {
            EXPECT_EQ(choice["itemCaptions"].dump(), c.captions);  // the schema check holds the range to them
        }
        EXPECT_EQ(itemNamed(model, "manageDevice")["visible"], c.manageVisible);
    }
}

TEST_F(SettingsModel, NoticesAndModelProblemsDriveTheRecoveryRow) {
    struct Case {
        std::string what;
        std::map<std::string, qzai::MessagingManager::Message> notices;
        bool alwaysShow;
        qzai::ModelDownloadState m1State;
        std::vector<std::string> m1Errors;
        size_t labels;
        bool recoveryVisible;
        bool retry;
    };
    const std::vector<Case> cases = {
        {"nothing", {}, false, qzai::ModelDownloadState::Ready, {}, 0, false, false},
        {"info notice", {{"A", {Type::Info, "fyi"}}}, false, qzai::ModelDownloadState::Ready, {}, 0, false, false},
        {"warning notice", {{"A", {Type::Warning, "bad"}}}, false, qzai::ModelDownloadState::Ready, {}, 1, true, false},
        {"always shown", {}, true, qzai::ModelDownloadState::Ready, {}, 0, true, false},
        {"failed without errors", {}, false, qzai::ModelDownloadState::Failed, {}, 0, false, false},
        {"failed with errors", {}, false, qzai::ModelDownloadState::Failed, {"e"}, 1, true, true},
        {"errors but not failed", {}, false, qzai::ModelDownloadState::Ready, {"e"}, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto state = baseState(c.what);
        state.inputs.notices = c.notices;
        state.inputs.alwaysShowRecoveryButtons = c.alwaysShow;
        state.models.at("m1")->downloadState = c.m1State;
        for (const auto& e : c.m1Errors) state.models.at("m1")->addError(e);
        state.snapshot = baseSnapshot(state.models);
        const auto model = buildChecked(state);
        size_t labels = 0;
        ordered_json row;
        for (const auto& item : model["items"]) {
            labels += item["type"] == "Label" ? 1 : 0;
            if (item["type"] == "Row") row = item;
        }
        EXPECT_EQ(labels, c.labels);
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(row["items"][i]["visible"], c.recoveryVisible);
        EXPECT_EQ(row["items"].size(), c.retry ? 4u : 3u);
    }
}

TEST_F(SettingsModel, ModelsSharedByStagesAreShownOnceAndTextsAreEscaped) {
    auto state = baseState("shared");
    auto& m1 = *state.models.at("m1");
    m1.name = "Det\"ector\nv2";
    m1.downloadState = qzai::ModelDownloadState::Downloading;
    m1.downloadProgress = 7;
    auto snapshot = baseSnapshot(state.models);
    snapshot->stages.push_back(makeStage("m1", state.models.at("m1")));  // a second root on the same model
    state.snapshot = snapshot;
    const std::string text = build(state);
    EXPECT_NE(text.find(R"x("Model Det\"ector\nv2 is downloading: (7%)")x"), std::string::npos) << text;
    const auto model = buildChecked(state);
    const auto banners = bannerTexts(model);
    EXPECT_EQ(std::count(banners.begin(), banners.end(), "Model Det\"ector\nv2 is downloading: (7%)"), 1);
    // The overview lists both roots, each after an empty line.
    const std::string overview = model["items"].back()["items"][0]["text"];
    EXPECT_NE(overview.find("Post-processor: Attributes\n\nModel: Det\"ector\nv2\n"), std::string::npos) << overview;
}

TEST_F(SettingsModel, InvalidUtf8InNamesAndNoticesReadsAsReplacementCharacter) {
    auto state = baseState("utf8");
    state.models.at("m1")->name = "Det\xff" "ector";
    state.models.at("m1")->downloadState = qzai::ModelDownloadState::Downloading;
    state.inputs.notices["X"] = {Type::Info, "bad \xc3 byte"};
    state.snapshot = baseSnapshot(state.models);
    const std::string text = build(state);
    ASSERT_NE(text, "{}");
    const auto banners = bannerTexts(buildChecked(state));
    EXPECT_NE(std::find(banners.begin(), banners.end(), "bad \xef\xbf\xbd byte"), banners.end());
    EXPECT_NE(std::find(banners.begin(), banners.end(), "Model Det\xef\xbf\xbd" "ector is downloading: (0%)"),
              banners.end());
}

TEST_F(SettingsModel, NullSnapshotAndDefaultInputsGiveAValidPage) {
    const std::string text = qzai::SettingsManager::createDeviceAgentSettingsModelString(
        qzai::SettingsModelInputs{}, {}, nullptr);
    EXPECT_TRUE(checkSettingsModel(text).empty()) << text;
    const std::string viaEngine = qzai::SettingsManager::createDeviceAgentSettingsModelString(
        static_cast<const qzai::Engine*>(nullptr), {}, nullptr);
    EXPECT_EQ(viaEngine, text);
}

TEST_F(SettingsModel, DeepPipelineIsCutAtItsDepthLimitAndStillDescribed) {
    // 1000 nested nodes on one model.
    nlohmann::json node = {{"modelUUID", "m"}};
    for (int i = 1; i < 1000; ++i) node = {{"modelUUID", "m"}, {"method", "Direct"}, {"children", {node}}};
    qzai::ModelMap models = {{"m", makeModel("m", "Deep", {})}};
    const auto parsed = qzai::parsePipelineNodes(nlohmann::json::array({node}), models, {});
    EXPECT_EQ(parsed.skippedNodes, 1u);
    EXPECT_EQ(log.count("Error! Pipeline node nested deeper than 32 levels; skipping it."), 1u);
    size_t levels = 0;
    for (const auto* stages = &parsed.stages; !stages->empty(); stages = &stages->front().children) ++levels;
    EXPECT_EQ(levels, 32u);

    auto state = stateNamed("worked_ready");
    auto snapshot = mutableSnapshot(state);
    snapshot->stages = parsed.stages;
    state.snapshot = snapshot;
    const auto model = buildChecked(state);
    const std::string overview = model["items"].back()["items"][0]["text"];
    size_t modelLines = 0;
    for (size_t at = overview.find("Model: Deep"); at != std::string::npos; at = overview.find("Model: Deep", at + 1)) {
        ++modelLines;
    }
    EXPECT_EQ(modelLines, 32u);
}
