// The engine and its device agents through the real plug-in library, loaded
// by the test host: what the host server and the disk see.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "common/support/log_files.h"
#include "common/support/loopback_http_server.h"
#include "common/support/process_state.h"
#include "host/road_rig.h"
#include "host/test_host.h"
#include "settings/support/settings_model_check.h"

namespace qz::test_host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kEngineManifest =
    R"({"capabilities":"needUncompressedVideoFrames_yuv420","preferredStream":"secondary","deviceAgentSettingsModel":)"
    R"({"type":"Settings","items":[{"type":"Banner","icon":"info","text":"Enable the plugin and press Apply to start )"
    R"(working with the plugin."}]}})";

// A host whose configuration points the cloud at `cloud` and whose data
// folder already holds an installed runtime, so the engine's passes reach
// the devices.
class EngineHost {
public:
    explicit EngineHost(const qz::test::LoopbackHttpServer& cloud, const char* pluginPath = QZ_PLUGIN_LIBRARY,
                        std::function<void()> beforeCreatingPlugin = {}) {
        std::string pattern = (fs::temp_directory_path() / "qz_engine_host_XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
        m_keptHome = pattern;
        const fs::path data = fs::path(m_keptHome) / "qz_kelvane";
        fs::create_directories(data / "inference_engine");
        std::ofstream(data / "inference_engine" / "installed_runtime.txt") << "Generic CPU";
        std::ofstream(data / "inference_engine" / "RuntimeLibrary.dll") << "not a library";
        const std::string iniPath = (fs::path(m_keptHome) / "test.ini").string();
        std::ofstream(iniPath) << "HTTPRequestTimeout=1000\nCloudServiceURL=" << cloud.url("/api") << "\n";
        TestHostOptions options;
        options.pluginPath = pluginPath;
        options.identity.homeDir = m_keptHome;
        options.unitTestOptions["iniPath"] = iniPath;
        options.beforeCreatingPlugin = std::move(beforeCreatingPlugin);
        m_host = std::make_unique<TestHost>(options);
    }
    ~EngineHost() {
        m_host.reset();
        std::error_code ec;
        fs::remove_all(m_keptHome, ec);
    }
    TestHost& operator*() { return *m_host; }
    TestHost* operator->() { return m_host.get(); }
    fs::path dataDir() const { return fs::path(m_keptHome) / "qz_kelvane"; }

private:
    std::unique_ptr<TestHost> m_host;
    std::string m_keptHome;
};

json device(const std::string& name, const json& pipeline) {
    return {{"name", name}, {"parameters", {{"qzAI", {{"pipeline", pipeline}}}}}};
}

json pipelineWith(const std::string& modelUrl) {
    return {{"models", {{{"UUID", "det"}, {"Name", "Detector"}, {"DownloadURL", modelUrl}, {"Classes", {"forklift"}}}}},
            {"nodes", {{{"modelUUID", "det"}}}}};
}

using qz::test::eventually;

TEST(EngineThroughHost, TwoCamerasPublishTheirStateAndKeepTheirSettings) {
    qz::test::LoopbackHttpServer cloud;
    cloud.server().Get("/api/system/cloud-system-1/device/cam1/available-pipelines",
                       [](const httplib::Request& request, httplib::Response& response) {
                           const bool ok = request.get_header_value("User-Agent") == "QZAI-Plugin/5.0.42" &&
                                           request.get_header_value("Authorization") == "cloud-token-1";
                           response.status = ok ? 200 : 401;
                           response.set_content(R"([{"name": "Cloud", "uuid": "p1", "parameters": {}}])",
                                                "application/json");
                       });
    cloud.start();
    EngineHost host(cloud);
    std::string error;
    ASSERT_TRUE(host->load(&error)) << error;
    ASSERT_TRUE(host->obtainEngine(&error)) << error;
    EXPECT_EQ(host->engineManifest(), kEngineManifest);

    const std::string modelUrl = cloud.url("/models/missing");
    for (const char* id : {"cam1", "cam2"}) {
        host->server().putDevice(id, device(id, pipelineWith(modelUrl)));
        ASSERT_TRUE(host->addCamera({id, id, "", "", ""}, &error)) << error;
    }
    ASSERT_TRUE(eventually([&] {
        return host->deviceManifest("cam1").find("qz.qzai.forklift") != std::string::npos &&
               host->deviceManifest("cam2").find("qz.qzai.forklift") != std::string::npos;
    }));
    // The engine's loop publishes each agent's state on its next pass.
    const auto enabled = [&](const char* id) {
        const json state = host->server().device(id)->at("parameters").value("qzAI", json::object());
        return state.value("PluginEnabled", json()) == true;
    };
    for (const char* id : {"cam1", "cam2"}) EXPECT_TRUE(eventually([&] { return enabled(id); })) << id;

    const auto reply = host->setDeviceSettings("cam1", {{"deviceActiveSwitch", "true"},
                                                       {"selectedPipeline", "p1"},
                                                       {"cropBox_det", R"({"figure": {"points": [[0, 0], [0.5, 0.5]]}})"}});
    EXPECT_EQ(reply.error, qz::sdk::ErrorCode::noError) << reply.errorMessage;
    EXPECT_FALSE(reply.model.empty());
    std::ifstream cache(host.dataDir() / "cam1_settings_cache.txt");
    std::string line;
    ASSERT_TRUE(std::getline(cache, line));
    EXPECT_EQ(line, R"(cropBox_det={"figure": {"points": [[0, 0], [0.5, 0.5]]}})");
    EXPECT_FALSE(std::getline(cache, line));  // neither the switch nor the pipeline choice is cached

    host->releaseDeviceAgent("cam2");
    EXPECT_TRUE(eventually(
        [&] { return host->server().device("cam2")->at("parameters").at("qzAI").at("PluginEnabled") == false; }));
    const UnloadReport report = host->unload();
    EXPECT_EQ(report.objectsLeaked, 0u);
}

// Default values of every input item of a page's stage sections, named as
// the host names them (a repeater's "#" filled with 1..5).
void collectDefaults(const json& node, std::map<std::string, std::string>& out) {
    if (!node.is_object()) return;
    if (node.contains("name") && node.contains("defaultValue") && node.value("type", "") != "SwitchButton") {
        const json& value = node["defaultValue"];
        const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
        std::string name = node["name"];
        if (const size_t hash = name.find('#'); hash != std::string::npos) {
            for (int n = 1; n <= 5; ++n) out[std::string(name).replace(hash, 1, std::to_string(n))] = text;
        } else {
            out[name] = text;
        }
    }
    for (const char* nested : {"items", "sections"}) {
        if (node.contains(nested)) for (const auto& child : node[nested]) collectDefaults(child, out);
    }
    if (node.contains("template")) collectDefaults(node["template"], out);
}

TEST(EngineThroughHost, StageSectionsPassTheChecksAndTheirDefaultsAreAccepted) {
    qz::test::LoopbackHttpServer cloud;
    cloud.start();
    EngineHost host(cloud);
    std::string error;
    ASSERT_TRUE(host->load(&error)) << error;
    ASSERT_TRUE(host->obtainEngine(&error)) << error;
    const json models = {
        {{"UUID", "m1"}, {"Name", "Detector"}, {"DownloadURL", cloud.url("/m1")}, {"Classes", {"person", "car"}}},
        {{"UUID", "m2"}, {"Name", "Classifier"}, {"DownloadURL", cloud.url("/m2")}, {"Classes", {"helmet", "no_helmet"}}}};
    const json nodes = {{{"modelUUID", "m1"},
                         {"children",
                          {{{"modelUUID", "m2"}, {"method", "FeatureExtraction"}, {"featureExtractionClass", "person"},
                            {"resizing", "Crop"}}}}}};
    host->server().putDevice("cam1", device("cam1", {{"models", models}, {"nodes", nodes}}));
    ASSERT_TRUE(host->addCamera({"cam1", "cam1", "", "", ""}, &error)) << error;
    ASSERT_TRUE(eventually([&] { return host->deviceManifest("cam1").find("qz.qzai.no_helmet") != std::string::npos; }));

    const std::string model = host->pluginSideSettings("cam1").model;
    for (const auto& problem : qz::settings_test::checkSettingsModel(model)) ADD_FAILURE() << problem;
    const json page = json::parse(model);
    ASSERT_EQ(page["sections"].size(), 1u);
    EXPECT_EQ(page["sections"][0]["sections"][0]["name"], "section_m1m2");

    std::map<std::string, std::string> defaults;
    for (const auto& section : page["sections"]) collectDefaults(section, defaults);
    EXPECT_EQ(defaults.at("model_nms_m1m2"), "42.0");
    EXPECT_EQ(defaults.at("visualise_classes_m1m2"), R"(["helmet","no_helmet"])");
    const auto reply = host->setDeviceSettings("cam1", defaults);
    EXPECT_EQ(reply.error, qz::sdk::ErrorCode::noError) << reply.errorMessage;
    const auto lines = qz::test::readLogLines(host.dataDir() / "qzai_plugin_start.log");
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("Warning! Ignoring setting"), std::string::npos) << line;
    }

    // The manifest pushed after the settings is the one the host reads.
    std::string pushed;
    for (const auto& manifest : host->recorder().manifests()) {
        if (manifest.source == "cam1") pushed = manifest.text;
    }
    EXPECT_EQ(pushed, host->deviceManifest("cam1"));
    EXPECT_EQ(host->unload().objectsLeaked, 0u);
}

TEST(EngineThroughHost, UnloadWhileAModelDownloadStallsEndsPromptlyWithoutLeaks) {
    qz::test::LoopbackHttpServer cloud;
    std::atomic<bool> requested{false};
    cloud.server().Get("/models/slow", [&](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
            sink.write("abc", 3);
            requested = true;
            cloud.waitForRelease(std::chrono::seconds(20));
            return false;
        });
    });
    cloud.start();
    EngineHost host(cloud);
    std::string error;
    ASSERT_TRUE(host->load(&error)) << error;
    ASSERT_TRUE(host->obtainEngine(&error)) << error;
    host->server().putDevice("cam1", device("cam1", pipelineWith(cloud.url("/models/slow"))));
    ASSERT_TRUE(host->addCamera({"cam1", "cam1", "", "", ""}, &error)) << error;
    ASSERT_TRUE(eventually([&] { return requested.load(); }));

    const auto started = std::chrono::steady_clock::now();
    const UnloadReport report = host->unload();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));  // a hang guard
    EXPECT_EQ(report.objectsLeaked, 0u);
    EXPECT_FALSE(fs::exists(host.dataDir() / "model_files" / "det.bin"));
    cloud.release();
}

TEST(EngineThroughHost, HandlersTheHostReleasesAfterUnloadingStillFindTheirCode) {
    // A host may stop its REST server after closing the library: a handler of
    // a request the library gave up on is released then, and its code must
    // still be mapped. Without such handlers the library leaves as usual.
    // Kept in memory, it serves the next load as if it were new.
    for (const auto mode : {FakeServer::Mode::normal, FakeServer::Mode::never}) {
        SCOPED_TRACE(mode == FakeServer::Mode::never ? "silent server" : "answering server");
        qz::test::LoopbackHttpServer cloud;
        cloud.start();
        EngineHost host(cloud);
        std::string error;
        ASSERT_TRUE(host->load(&error)) << error;
        ASSERT_TRUE(host->obtainEngine(&error)) << error;
        host->server().setMode(mode);
        ASSERT_TRUE(host->addCamera({"cam1", "cam1", "", "", ""}, &error)) << error;
        ASSERT_TRUE(host->server().waitForRequests(1, std::chrono::seconds(5)));
        const UnloadReport report = host->unload(HandlerRelease::afterUnloading);
        EXPECT_EQ(report.unmapped, mode == FakeServer::Mode::normal && !report.residentAtLoad);
    }
    // Loaded again while kept in memory, the library starts afresh: the new
    // host's registry sees its objects and the new configuration is read.
    qz::test::LoopbackHttpServer cloud;
    std::atomic<int> asked{0};
    cloud.server().Get(".*", [&](const httplib::Request&, httplib::Response&) { ++asked; });
    cloud.start();
    EngineHost host(cloud);
    std::string error;
    ASSERT_TRUE(host->load(&error) && host->obtainEngine(&error) && host->addCamera({"cam1", "cam1", "", "", ""}, &error))
        << error;
    EXPECT_TRUE(eventually([&] { return asked.load() > 0; }));
    const UnloadReport report = host->unload();
    EXPECT_TRUE(report.residentAtLoad && report.objectsCreated > 0);
    // So it does when an earlier host's last object goes after the next host
    // handed over its options, before it created its plug-in.
    asked = 0;
    qz::test::LoopbackHttpServer elsewhere;
    elsewhere.start();
    EngineHost earlier(elsewhere);
    ASSERT_TRUE(earlier->load(&error)) << error;
    EngineHost next(cloud, QZ_PLUGIN_LIBRARY, [&] { earlier->unload(); });
    ASSERT_TRUE(next->load(&error) && next->obtainEngine(&error) && next->addCamera({"cam1", "cam1", "", "", ""}, &error))
        << error;
    EXPECT_TRUE(eventually([&] { return asked.load() > 0; }));
}

TEST(EngineThroughHost, AHandlerReleasedAsTheLibraryUnloadsIsWaitedForUntilItsThreadLeaves) {
    // The server thread that answers the engine's final publish lingers in
    // the library's release (a test build): the library leaves after it.
    qz::test::LoopbackHttpServer cloud;
    cloud.start();
    EngineHost host(cloud, QZ_SLOW_RELEASE_PLUGIN_LIBRARY);
    std::string error;
    ASSERT_TRUE(host->load(&error) && host->obtainEngine(&error) && host->addCamera({"cam1", "cam1", "", "", ""}, &error))
        << error;
    const auto enabled = [&] {
        return host->server().device("cam1")->value("/parameters/qzAI/PluginEnabled"_json_pointer, json());
    };
    ASSERT_TRUE(eventually([&] { return enabled() == true; }));
    EXPECT_TRUE(host->unload(HandlerRelease::afterUnloading).unmapped);
    EXPECT_EQ(enabled(), false);
}

TEST(EngineThroughHost, ASilentRestServerHoldsNoHostCallAndShutdownStaysBounded) {
    qz::test::LoopbackHttpServer cloud;
    cloud.start();
    EngineHost host(cloud);
    std::string error;
    ASSERT_TRUE(host->load(&error)) << error;
    ASSERT_TRUE(host->obtainEngine(&error)) << error;
    host->server().setMode(FakeServer::Mode::never);
    for (const char* id : {"cam1", "cam2", "cam3"}) ASSERT_TRUE(host->addCamera({id, id, "", "", ""}, &error)) << error;
    host->releaseDeviceAgent("cam2");
    host->releaseDeviceAgent("cam3");
    ASSERT_TRUE(host->server().waitForRequests(1, std::chrono::seconds(5)));
    // Up to here only the engine's loop asked the server anything.
    for (const auto& request : host->server().requests()) {
        EXPECT_NE(request.sender, std::this_thread::get_id()) << request.method << " " << request.path;
    }
    // The engine's release tries what is left once, within its bound.
    const auto started = std::chrono::steady_clock::now();
    host->unload();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));  // a hang guard
}

TEST(EngineThroughHost, LinesOfTheRuntimesShutdownReachTheLogFile) {
    RoadRigOptions options;
    options.pluginPath = QZ_PLUGIN_LIBRARY;
    options.runtimePath = QZ_TEST_RUNTIME_LIBRARY;
    options.modelDescriptor = json{{"mode", "find_squares"}, {"output_name", RoadRig::kOutputName}}.dump();
    RoadRig rig(options);
    const fs::path log = fs::path(rig.dataDirectory()) / "qzai_plugin_start.log";
    const auto lineIndex = [&](const std::string& text) {
        const auto lines = qz::test::readLogLines(log);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
        }
        return -1L;
    };
    bool running = false;
    for (int i = 0; i < 3000 && !running; ++i) {
        running = lineIndex("Runtime initialized") >= 0;
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(running);
    rig.host().unload();
    EXPECT_GT(lineIndex("Stopping runtime"), lineIndex("Engine stopped."));
}

}  // namespace
}  // namespace qz::test_host
