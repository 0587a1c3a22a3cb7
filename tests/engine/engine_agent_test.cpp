// The engine and its device agents driven in process through the SDK
// interfaces, with the fake host server and the loopback cloud.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "common/file_utils.h"
#include "common/ini.h"
#include "qz/sdk/helpers/string.h"
#include "engine/settings_cache.h"
#include "engine/support/engine_fixture.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "runtimes/support/runtimes_test_access.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace qz::engine_test;

namespace {

class EngineAgentTest : public ::testing::Test {
protected:
    void SetUp() override { CloudStub::instance().reset(); }
    void TearDown() override { CloudStub::instance().reset(); }

    static json cameraWith(const json& pipeline) {
        return {{"deviceAdminAddress", "https://admin.example/cam"}, {"pipeline", pipeline}};
    }

    static bool hasStages(qzai::DeviceAgent& agent) {
        const auto s = agent.settingsSnapshot();
        return s && !s->stages.empty();
    }

    static bool modelReady(qzai::DeviceAgent& agent) {
        const auto s = agent.settingsSnapshot();
        if (!s || s->stages.empty()) return false;
        return s->stages[0].model->downloadState.load() == qzai::ModelDownloadState::Ready;
    }
};

}  // namespace

TEST_F(EngineAgentTest, TwoCamerasGetTheirPipelinesModelsAndManifests) {
    const auto detector = serveModel("det", {"person", "forklift"});
    const auto attributes = serveModel("attr", {"helmet"});
    EngineHarness host;
    host.addCamera("cam1", "Gate",
                   cameraWith(pipelineDocument({detector, attributes},
                                               json::parse(R"([{"modelUUID": "det", "children": [
                                                   {"modelUUID": "attr", "method": "FeatureExtraction"}]}])"))));
    host.addCamera("cam2", "Yard",
                   cameraWith(pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])"))));

    ASSERT_TRUE(host.waitUntil([&] { return modelReady(host.agent("cam1")) && modelReady(host.agent("cam2")); }));
    const auto one = host.agent("cam1").settingsSnapshot();
    ASSERT_EQ(one->stages.size(), 1u);
    EXPECT_EQ(one->stages[0].key, "det");
    EXPECT_TRUE(one->stages[0].needsFrame);  // carried up from the feature-extraction child
    ASSERT_EQ(one->stages[0].children.size(), 1u);
    EXPECT_EQ(one->stages[0].children[0].key, "detattr");
    EXPECT_EQ(one->deviceAdminAddress, "https://admin.example/cam");
    const auto two = host.agent("cam2").settingsSnapshot();
    EXPECT_FALSE(two->stages[0].needsFrame);
    // Both cameras share the engine's one record of the detector.
    EXPECT_EQ(one->stages[0].model.get(), two->stages[0].model.get());

    // Downloaded into the cache with its key, and the key opens the model.
    const auto& model = *one->stages[0].model;
    EXPECT_EQ(qzai::readTextFile(model.modelFilePath), detector.body);
    EXPECT_EQ(qzai::readTextFile(model.keyFilePath), detector.key);
    EXPECT_EQ(CloudStub::instance().count("GET", "/models/det"), 1u);

    // "PluginEnabled" is published for both cameras; manifests carry the classes.
    for (const char* id : {"cam1", "cam2"}) {
        EXPECT_EQ(host.server().device(id)->at("parameters").at("qzAI").at("PluginEnabled"), true) << id;
    }
    qz::sdk::Result<const qz::sdk::IString*> manifest;
    host.agent("cam1").manifest(&manifest);
    const std::string text = qz::sdk::takeString(manifest.value());
    EXPECT_NE(text.find("qz.qzai.helmet"), std::string::npos) << text;
    EXPECT_NE(text.find("qz.base.Person"), std::string::npos) << text;

    // On the pass that first saw the cloud token the processors were published.
    const json server = host.server().serverDocument()["parameters"]["qzAI"];
    EXPECT_EQ(server["availablePreprocessors"], json::array());
    EXPECT_EQ(server["availablePostprocessors"], json::array());

    host.releaseCamera("cam2");  // published by the loop, not by the releasing host thread
    EXPECT_TRUE(host.waitUntil(
        [&] { return host.server().device("cam2")->at("parameters").at("qzAI").at("PluginEnabled") == false; }));
}

TEST_F(EngineAgentTest, SettingsAreAppliedCachedAndAppliedAgainAfterARestart) {
    const auto detector = serveModel("det", {"person", "car"});
    const json qzAI = cameraWith(pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])")));
    qz::test::TempDir home;
    const std::map<std::string, std::string> settings = {
        {"deviceActiveSwitch", "true"},
        {"cropBox_det", figure("[[0.1, 0.2], [0.6, 0.7]]")},
        {"model_nms_det", "25"},
        {"maskType_1_det", "exclusive"},
        {"polygon1.figure_det", figure("[[0, 0], [0.5, 0], [0.5, 0.5]]")},
        {"lineCrossingLine_det", figure("[[0, 0.5], [1, 0.5]]")},
        {"visualise_classes_det", R"(["car"])"},
        {"det_postprocessor_setting_zone", "line one\nline two"},
    };
    auto check = [](const qzai::pipeline_stage_parameters_t& stage) {
        EXPECT_FLOAT_EQ(stage.cropBox[0], 0.1f);
        EXPECT_FLOAT_EQ(stage.cropBox[3], 0.7f);
        EXPECT_NEAR(stage.nmsThreshold, 0.75f, 1e-6);
        ASSERT_EQ(stage.masks.size(), 1u);
        EXPECT_EQ(stage.masks[0].type, 1);
        EXPECT_TRUE(stage.lineCrossingEnabled);
        EXPECT_EQ(stage.classVisualisation, (std::map<std::string, bool>{{"car", true}, {"person", false}}));
        EXPECT_EQ(stage.postprocessorSettings.at("zone"), "line one\nline two");
    };
    {
        EngineHarness::Options options;
        options.homeDir = home.path().string();
        EngineHarness host(options);
        host.addCamera("cam1", "Gate", qzAI);
        ASSERT_TRUE(host.waitUntil([&] { return hasStages(host.agent("cam1")); }));
        const std::string model = host.sendSettings("cam1", settings);
        EXPECT_NE(json::parse(model, nullptr, false).value("type", ""), "");
        const auto snapshot = host.agent("cam1").settingsSnapshot();
        EXPECT_TRUE(snapshot->deviceActive);
        check(snapshot->stages[0]);
        const auto cached = qzai::loadSettingsCache(host.agent("cam1").settingsCachePath());
        EXPECT_EQ(cached.count("deviceActiveSwitch"), 0u);
        EXPECT_EQ(cached.at("det_postprocessor_setting_zone"), "line one\nline two");
    }
    EngineHarness::Options options;
    options.homeDir = home.path().string();
    EngineHarness restarted(options);
    restarted.addCamera("cam1", "Gate", qzAI);
    ASSERT_TRUE(restarted.waitUntil([&] { return hasStages(restarted.agent("cam1")); }));
    const auto snapshot = restarted.agent("cam1").settingsSnapshot();
    EXPECT_FALSE(snapshot->deviceActive);  // the switch is not cached
    check(snapshot->stages[0]);
}

TEST_F(EngineAgentTest, FramesPassOnlyWithSettingsTokenAndAnActiveCamera) {
    const auto detector = serveModel("det", {"person"});
    EngineHarness host;
    // While the host server is silent the agent gets no parameters, so it
    // has no snapshot yet and drops frames.
    host.server().setMode(qz::test_host::FakeServer::Mode::never);
    host.addCamera("cam1", "Gate", {});
    auto& agent = host.agent("cam1");
    ASSERT_FALSE(agent.settingsSnapshot());
    host.pushFrame("cam1", nowUs());
    EXPECT_EQ(agent.framesAdmitted(), 0u);
    EXPECT_EQ(agent.framesDropped(), 1u);
    host.server().setMode(qz::test_host::FakeServer::Mode::normal);
    host.setDeviceParameters("cam1", cameraWith(pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])"))));
    ASSERT_TRUE(host.waitUntil([&] { return hasStages(agent); }));

    host.pushFrame("cam1", nowUs());  // inactive camera
    EXPECT_EQ(agent.framesAdmitted(), 0u);
    host.sendSettings("cam1", {{"deviceActiveSwitch", "true"}});
    host.pushFrame("cam1", nowUs());
    host.pushFrame("cam1", nowUs() - 2'000'000);  // late: still sent, with a warning
    host.pushFrame("cam1", std::numeric_limits<int64_t>::min());  // as old as can be, no overflow
    host.pushFrame("cam1", std::numeric_limits<int64_t>::max());
    EXPECT_EQ(agent.framesAdmitted(), 4u);

    // Without a cloud token no frame passes.
    host.provider().setCloudToken("");
    ASSERT_TRUE(host.waitUntil(
        [&] { return host.engine().cloudConnectionState() == qzai::CloudConnectionState::NoCloudToken; }));
    const auto dropped = agent.framesDropped();
    host.pushFrame("cam1", nowUs());
    EXPECT_EQ(agent.framesAdmitted(), 4u);
    EXPECT_EQ(agent.framesDropped(), dropped + 1);
}

TEST_F(EngineAgentTest, ButtonsReachTheirEffects) {
    const auto detector = serveModel("det", {"person", "car"});
    CloudStub::instance().route("POST", "/api/reset/cloud-system-1/device/cam1",
                                [](const httplib::Request&, httplib::Response& r) { r.status = 204; });
    CloudStub::instance().route("POST", "/api/reset/cloud-system-1/device/cam2",
                                [](const httplib::Request&, httplib::Response& r) { r.status = 204; });
    EngineHarness host;
    const json qzAI = cameraWith(pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])")));
    host.addCamera("cam1", "Gate", qzAI);
    host.addCamera("cam2", "Yard", qzAI);
    ASSERT_TRUE(host.waitUntil([&] { return modelReady(host.agent("cam1")); }));
    auto& engine = host.engine();
    auto& runtimes = engine.runtimesManager();

    EXPECT_EQ(host.press("cam1", "manageDevice"), "https://admin.example/cam");

    host.press("cam1", "deSelectAllButton_det");
    auto shown = host.agent("cam1").settingsSnapshot()->stages[0].classVisualisation;
    EXPECT_EQ(shown, (std::map<std::string, bool>{{"car", false}, {"person", false}}));
    host.press("cam1", "selectAllButton_det");
    shown = host.agent("cam1").settingsSnapshot()->stages[0].classVisualisation;
    EXPECT_EQ(shown, (std::map<std::string, bool>{{"car", true}, {"person", true}}));

    host.press("cam1", "triggerReferenceRunButton_det");
    {
        auto& state = engine.inferenceManager().postprocessingState();
        std::lock_guard<std::mutex> lock(state.referenceRunLock);
        EXPECT_EQ(state.referenceRuns, (std::map<std::string, std::string>{{"cam1", "det"}}));
    }

    host.press("cam1", "resetSingleDeviceButton");
    ASSERT_TRUE(host.waitUntil(
        [&] { return CloudStub::instance().count("POST", "/api/reset/cloud-system-1/device/cam1") == 1; }));
    host.press("cam1", "resetAllDevicesButton");
    ASSERT_TRUE(host.waitUntil(
        [&] { return CloudStub::instance().count("POST", "/api/reset/cloud-system-1/device/cam2") == 1; }));
    for (const auto& seen : CloudStub::instance().seen()) {
        if (seen.method != "POST") continue;
        EXPECT_EQ(seen.headers.at("User-Agent"), "QZAI-Plugin/5.0.42");
        EXPECT_EQ(seen.headers.at("Authorization"), "cloud-token-1");
    }

    // A runtime is in use, so a choice is not offered: the press changes nothing.
    engine.messagingManager().addMessage("NVIDIA_RESTART_REQUIRED", "restart", qzai::MessagingManager::MessageType::Info);
    host.press("cam1", "libraryChoice_Generic CPU");
    EXPECT_EQ(qzai::RuntimesManagerTestAccess::selectedRuntime(runtimes), "");
    EXPECT_EQ(runtimes.state(), qzai::RuntimeState::Ready);
    EXPECT_EQ(engine.messagingManager().messages().count("NVIDIA_RESTART_REQUIRED"), 1u);

    // Clear cache: the model files go and the model is downloaded again.
    host.press("cam1", "clearCacheButton");
    ASSERT_TRUE(host.waitUntil([&] { return CloudStub::instance().count("GET", "/models/det") == 2; }));
    EXPECT_TRUE(host.waitUntil([&] { return modelReady(host.agent("cam1")); }));
    const auto info = host.server().serverDocument()["parameters"]["qzAI"]["runtimeInformation"];
    EXPECT_EQ(info, (json{{"runtime", ""}, {"mimeType", ""}}));

    host.press("cam1", "cancelRuntimeDownloadButton");
    EXPECT_TRUE(qzai::RuntimesManagerTestAccess::cancelRequested(runtimes));

    // Reselection removes the installed runtime.
    host.press("cam1", "reselectRuntimeButton");
    EXPECT_TRUE(host.waitUntil(
        [&] { return !fs::exists(fs::path(host.dataDir()) / "inference_engine" / "installed_runtime.txt"); }));
}

TEST_F(EngineAgentTest, BadInputIsReportedAndOtherCamerasGoOn) {
    const auto good = serveModel("good", {"person"});
    auto missing = serveModel("gone", {"car"});
    missing.description["DownloadURL"] = CloudStub::instance().url("/models/absent");  // answers 404
    auto badKey = serveModel("badkey", {"bus"});
    const std::string body = encryptModel(badKey.key, badKey.plaintext);
    CloudStub::instance().route("GET", "/models/badkey", [body](const httplib::Request&, httplib::Response& r) {
        r.set_header("X-Key", base64(std::string(32, 'x')));  // not the key the model was encrypted with
        r.set_content(body, "application/octet-stream");
    });

    EngineHarness host;
    host.addCamera("ok", "Fine", cameraWith(pipelineDocument({good}, json::parse(R"([{"modelUUID": "good"}])"))));
    host.addCamera("unassigned", "Hole",
                   cameraWith(pipelineDocument({good}, json::parse(R"([{"modelUUID": "nobody"}, {"modelUUID": "good"}])"))));
    host.addCamera("models", "Broken",
                   cameraWith(pipelineDocument({missing, badKey},
                                               json::parse(R"([{"modelUUID": "gone"}, {"modelUUID": "badkey"}])"))));
    host.addCamera("text", "Garbled", {});
    auto device = *host.server().device("text");
    device["parameters"] = "{not json";
    host.server().putDevice("text", device);

    ASSERT_TRUE(host.waitUntil([&] {
        return modelReady(host.agent("ok")) && !host.agent("text").errors().empty() &&
               host.agent("models").errors().count(qzai::DeviceAgentErrorType::ModelDownload) == 1;
    }));
    // The node without a model is skipped, its sibling kept.
    const auto hole = host.agent("unassigned").settingsSnapshot();
    ASSERT_EQ(hole->stages.size(), 1u);
    EXPECT_EQ(hole->stages[0].key, "good");
    EXPECT_EQ(host.agent("unassigned").errors().count(qzai::DeviceAgentErrorType::Pipeline), 1u);

    const auto broken = host.agent("models").settingsSnapshot();
    for (const auto& stage : broken->stages) {
        EXPECT_EQ(stage.model->downloadState.load(), qzai::ModelDownloadState::Failed) << stage.key;
        EXPECT_FALSE(stage.model->errorsCopy().empty()) << stage.key;
        EXPECT_FALSE(fs::exists(stage.model->modelFilePath)) << stage.key;
    }
    const auto notices = host.engine().messagingManager().messages();
    EXPECT_EQ(notices.count("MODEL_DOWNLOAD_FAILED"), 1u);
    EXPECT_EQ(notices.count("PARSE_PIPELINE"), 1u);
    EXPECT_EQ(notices.count("PARSE_DEVICE_PARAMETERS"), 1u);

    // Retrying after the repository is fixed brings the model in.
    serveModel("gone", {"car"});
    auto fixed = missing.description;
    fixed["DownloadURL"] = CloudStub::instance().url("/models/gone");
    host.press("models", "modelDownloadRetryButton");
    host.setDeviceParameters("models", cameraWith(pipelineDocument({}, json::array())));
    host.setDeviceParameters(
        "models", cameraWith(json{{"models", json::array({fixed})}, {"nodes", json::parse(R"([{"modelUUID": "gone"}])")}}));
    EXPECT_TRUE(host.waitUntil([&] { return modelReady(host.agent("models")); }));
}

TEST_F(EngineAgentTest, CloudPipelineChosenBySettingAndRawPostprocessingRead) {
    auto own = serveModel("own", {"person"});
    auto cloudModel = serveModel("cloudy", {"truck"});
    cloudModel.description["RawPostprocessing"] = {
        {"modelArchitecture", "YOLO-NAS"}, {"confidenceThreshold", 0.6}, {"iouThreshold", 0.3}, {"classes", {"truck"}}};
    own.description["RawPostprocessing"] = {{"modelArchitecture", "Mystery-Net"}};
    const json cloudPipeline = pipelineDocument({cloudModel}, json::parse(R"([{"modelUUID": "cloudy"}])"));
    CloudStub::instance().route("GET", "/api/system/cloud-system-1/device/cam1/available-pipelines",
                                [cloudPipeline](const httplib::Request&, httplib::Response& r) {
                                    const json list = {{{"name", "Trucks"}, {"uuid", "p1"}, {"parameters", cloudPipeline}}};
                                    r.set_content(list.dump(), "application/json");
                                });
    EngineHarness host;
    host.addCamera("cam1", "Gate", cameraWith(pipelineDocument({own}, json::parse(R"([{"modelUUID": "own"}])"))));
    auto& agent = host.agent("cam1");
    ASSERT_TRUE(host.waitUntil([&] {
        const auto s = agent.settingsSnapshot();
        return s && s->cloudParametersReceived && modelReady(agent);
    }));
    auto snapshot = agent.settingsSnapshot();
    ASSERT_EQ(snapshot->availablePipelines.size(), 1u);
    EXPECT_EQ(snapshot->availablePipelines[0].name, "Trucks");
    EXPECT_EQ(snapshot->stages[0].key, "own");
    // An unknown family keeps the default decoder but still turns built-in decoding on.
    EXPECT_EQ(snapshot->stages[0].model->preparation()->modelArchitecture, 0u);
    EXPECT_TRUE(snapshot->stages[0].model->preparation()->builtInDecoding);

    host.sendSettings("cam1", {{"selectedPipeline", "p1"}});
    EXPECT_EQ(agent.settingsSnapshot()->stages[0].key, "cloudy");
    ASSERT_TRUE(host.waitUntil([&] { return modelReady(agent); }));
    const auto& model = *agent.settingsSnapshot()->stages[0].model->preparation();
    EXPECT_EQ(model.modelArchitecture, 3u);
    EXPECT_FLOAT_EQ(model.confidenceThreshold, 0.6f);
    EXPECT_FLOAT_EQ(model.iouThreshold, 0.3f);
    EXPECT_EQ(model.detectionClasses, (std::vector<std::string>{"truck"}));
}
