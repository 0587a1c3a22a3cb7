// A camera's settings page through a real engine and device agent: the page
// the agent hands the host is the one the builders make from the same
// inputs filled in by hand, and settings the host sends are checked before
// they are stored.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/log.h"
#include "common/support/log_files.h"
#include "engine/settings_cache.h"
#include "engine/support/engine_fixture.h"
#include "settings/settings_manager.h"
#include "settings/support/settings_model_check.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace qz::engine_test;

namespace {

class SettingsPageTest : public ::testing::Test {
protected:
    void SetUp() override { CloudStub::instance().reset(); }
    void TearDown() override { CloudStub::instance().reset(); }

    // Detector "pg1" (person, car) with a FeatureExtraction child "pg2".
    static json twoStagePipeline() {
        auto detector = serveModel("pg1", {"person", "car"});
        detector.description["Name"] = "Detector";
        auto classifier = serveModel("pg2", {});
        classifier.description["Name"] = "Classifier";
        return pipelineDocument({detector, classifier}, json::parse(R"([{"modelUUID": "pg1", "children": [
            {"modelUUID": "pg2", "method": "FeatureExtraction", "featureExtractionClass": "person",
             "resizing": "Crop", "Postprocessor": "Attributes"}]}])"));
    }

    static bool modelsReady(qzai::DeviceAgent& agent) {
        const auto s = agent.settingsSnapshot();
        if (!s || s->stages.empty()) return false;
        for (const auto& [id, model] : qzai::collectPipelineModels(s->stages)) {
            if (model->downloadState.load() != qzai::ModelDownloadState::Ready) return false;
        }
        return true;
    }

    static size_t logged(EngineHarness& host, const std::string& text) {
        size_t n = 0;
        for (const auto& line : qz::test::readLogLines(fs::path(host.dataDir()) / qzai::kStartLogFileName)) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
};

}  // namespace

TEST_F(SettingsPageTest, AgentPageEqualsThePageBuiltFromTheSameInputsByHand) {
    const json pipeline = twoStagePipeline();
    CloudStub::instance().route("GET", "/api/system/cloud-system-1/device/page/available-pipelines",
                                [pipeline](const httplib::Request&, httplib::Response& r) {
                                    const json list = {{{"name", "People"}, {"uuid", "p1"}, {"parameters", pipeline}}};
                                    r.set_content(list.dump(), "application/json");
                                });
    EngineHarness host;
    host.addCamera("page", "Gate", {{"pipeline", pipeline}});
    auto& agent = host.agent("page");
    ASSERT_TRUE(host.waitUntil([&] { return agent.settingsSnapshot() && agent.settingsSnapshot()->cloudParametersReceived; }));
    host.sendSettings("page", {{"selectedPipeline", "p1"}});
    ASSERT_TRUE(host.waitUntil([&] { return modelsReady(agent); }));
    ASSERT_TRUE(host.waitUntil([&] { return host.engine().cloudConnectionState() == qzai::CloudConnectionState::TokenObtained; }));
    // The harness's runtime file is no library, so starting inference leaves
    // its notice; wait for it, so the page holds still.
    ASSERT_TRUE(host.waitUntil([&] { return host.engine().messagingManager().messages().count("RUNTIME_INIT_FAILED") == 1; }));

    // The state: an installed runtime of another name, two notices, a failed
    // model with two errors and a model downloading.
    auto& engine = host.engine();
    engine.runtimesManager().saveInstalledRuntimeName("Intel Runtime");
    engine.messagingManager().addMessage("AAA_INFO", "Something to know.", qzai::MessagingManager::MessageType::Info);
    engine.messagingManager().addMessage("RUNTIME_DOWNLOAD_CORRUPTED", "The runtime download is corrupted.",
                                         qzai::MessagingManager::MessageType::Warning);
    const auto models = qzai::collectPipelineModels(agent.settingsSnapshot()->stages);
    models.at("pg1")->addError("Decryption failed");
    models.at("pg1")->addError("Model file missing");
    models.at("pg1")->downloadState = qzai::ModelDownloadState::Failed;
    models.at("pg2")->downloadProgress = 40;
    models.at("pg2")->downloadState = qzai::ModelDownloadState::Downloading;
    host.waitForPass();

    qzai::SettingsModelInputs byHand;
    byHand.cloudState = qzai::CloudConnectionState::TokenObtained;
    byHand.runtime.state = qzai::RuntimeState::Ready;
    byHand.runtime.installedRuntimeName = "Intel Runtime";
    byHand.notices["AAA_INFO"] = {qzai::MessagingManager::MessageType::Info, "Something to know."};
    byHand.notices["RUNTIME_DOWNLOAD_CORRUPTED"] = {qzai::MessagingManager::MessageType::Warning,
                                                   "The runtime download is corrupted."};
    byHand.notices["RUNTIME_INIT_FAILED"] = {qzai::MessagingManager::MessageType::Warning,
                                            "Failed to initialize the AI runtime: Runtime not initialized."};
    byHand.documentationBase = "https://docs.qzai.example";
    const std::string expected = qzai::SettingsManager::createDeviceAgentSettingsModelString(
        byHand, agent.errors(), agent.settingsSnapshot());

    const std::string page = host.settingsModel("page");
    EXPECT_EQ(page, expected);
    EXPECT_EQ(host.sendSettings("page", {{"selectedPipeline", "p1"}}), expected);
    for (const auto& problem : qz::settings_test::checkSettingsModel(page)) ADD_FAILURE() << problem;
    EXPECT_NE(page.find("Active AI Runtime: Intel Runtime"), std::string::npos);
    EXPECT_NE(page.find("Model Detector has errors:\\nDecryption failed\\nModel file missing\\n"), std::string::npos);
}

TEST_F(SettingsPageTest, BadStageValuesKeepTheGoodOnesInSnapshotAndCache) {
    EngineHarness host;
    host.addCamera("cam", "Gate", {{"pipeline", twoStagePipeline()}});
    auto& agent = host.agent("cam");
    ASSERT_TRUE(host.waitUntil([&] { return agent.settingsSnapshot() && !agent.settingsSnapshot()->stages.empty(); }));

    const std::string k = "pg1";
    const std::map<std::string, std::pair<std::string, std::string>> values = {  // key -> good, bad
        {"cropBox_" + k, {figure("[[0.1, 0.2], [0.7, 0.8]]"), "{not json"}},
        {"model_nms_" + k, {"30", "high"}},
        {"visualise_classes_" + k, {R"(["car"])", "car"}},
        {"maskType_1_" + k, {"exclusive", "sideways"}},
        {"polygon1.figure_" + k, {figure("[[0, 0], [1, 0], [1, 1]]"), "[1,2]"}},
        {"lineCrossingLine_" + k, {figure("[[0.1, 0.5], [0.9, 0.5]]"), figure("[[0.1, 0.5]]")}},
        {"loiterDetectionObjectClass_" + k, {"dog", ""}},
        {"loiterDetectionTimeThreshold_" + k, {"45", "0"}},
        {"dumpingDetectionObjectType_" + k, {"bag", ""}},
        {"dumpingDetectionTimeThreshold_" + k, {"15", "-1"}},
    };
    std::map<std::string, std::string> good, bad;
    for (const auto& [key, pair] : values) good[key] = pair.first, bad[key] = pair.second;
    good["deviceActiveSwitch"] = "true";
    bad["deviceActiveSwitch"] = "maybe";

    auto check = [&](const char* when) {
        SCOPED_TRACE(when);
        const auto snapshot = agent.settingsSnapshot();
        ASSERT_TRUE(snapshot);
        const auto& s = snapshot->stages.at(0);
        EXPECT_TRUE(snapshot->deviceActive);
        EXPECT_FLOAT_EQ(s.cropBox[3], 0.8f);
        EXPECT_NEAR(s.nmsThreshold, 0.7f, 1e-6);
        EXPECT_EQ(s.classVisualisation, (std::map<std::string, bool>{{"car", true}, {"person", false}}));
        ASSERT_EQ(s.masks.size(), 1u);
        EXPECT_EQ(s.masks[0].type, 1);
        EXPECT_TRUE(s.lineCrossingEnabled);
        EXPECT_EQ(s.loiterObjectClass, "dog");
        EXPECT_EQ(s.loiterTimeThresholdSeconds, 45);
        EXPECT_EQ(s.dumpingObjectClass, "bag");
        EXPECT_EQ(s.dumpingTimeThresholdUs, 15'000'000);
        auto cachedGood = good;
        cachedGood.erase("deviceActiveSwitch");
        EXPECT_EQ(qzai::loadSettingsCache(agent.settingsCachePath()), cachedGood);
    };
    host.sendSettings("cam", good);
    check("good values");
    host.sendSettings("cam", bad);
    check("after bad values");
    for (const auto& [key, value] : bad) {
        EXPECT_EQ(logged(host, "Warning! Ignoring setting " + key + ": "), 1u) << key;
    }
}

TEST_F(SettingsPageTest, CacheThatCannotBeReplacedStillLeavesTheRightSnapshot) {
    EngineHarness host;
    host.addCamera("cam", "Gate", {{"pipeline", twoStagePipeline()}});
    auto& agent = host.agent("cam");
    ASSERT_TRUE(host.waitUntil([&] { return agent.settingsSnapshot() && !agent.settingsSnapshot()->stages.empty(); }));
    fs::create_directories(agent.settingsCachePath());  // the rename over it fails

    host.sendSettings("cam", {{"model_nms_pg1", "20"}, {"loiterDetectionObjectClass_pg1pg2", "cat"}});
    const auto snapshot = agent.settingsSnapshot();
    EXPECT_NEAR(snapshot->stages[0].nmsThreshold, 0.8f, 1e-6);
    EXPECT_EQ(snapshot->stages[0].children.at(0).loiterObjectClass, "cat");
    EXPECT_EQ(logged(host, "Error! Could not replace settings cache " + agent.settingsCachePath()), 1u);
    EXPECT_TRUE(fs::is_directory(agent.settingsCachePath()));
}
