// The engine against bad documents, a host server that fails or stays
// silent, and a process that cannot start threads.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "common/support/log_capture.h"
#include "engine/registration_manager.h"
#include "engine/support/engine_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace qz::engine_test;

namespace {

// While set, threads started from this thread fail to start, as when the
// process runs out of threads (see pthread_create below).
thread_local bool tFailThreadStarts = false;

}  // namespace

// Stands in for the C library's pthread_create in this test program, so that
// std::thread can be made to fail the way it does when no thread can start.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (tFailThreadStarts) return EAGAIN;
    return next(thread, attributes, routine, argument);
}

namespace {

class EngineHardeningTest : public ::testing::Test {
protected:
    void SetUp() override { CloudStub::instance().reset(); }
    void TearDown() override { CloudStub::instance().reset(); }
};

std::string nestedArrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A pipeline whose one root has `levels` stages below it, as text.
std::string deepPipelineText(size_t levels) {
    std::string text = R"({"models":[],"nodes":[)";
    for (size_t i = 0; i < levels; ++i) text += R"({"modelUUID":"m","children":[)";
    for (size_t i = 0; i < levels; ++i) text += "]}";
    return text + "]}";
}

json qzAiPipeline(const json& pipeline) { return {{"pipeline", pipeline}}; }

}  // namespace

TEST_F(EngineHardeningTest, DeepOrMisshapenDocumentsAreReportedAndTheOtherCamerasGoOn) {
    using Kind = qzai::DeviceAgentErrorType;
    const auto good = serveModel("good", {"person"});
    struct Case {
        const char* id;
        json qzAI;
        Kind reported;
    };
    const Case cases[] = {
        // 20,000 levels of "children" (about 620 KB) as the qzAI text.
        {"deepText", json(R"({"pipeline":)" + deepPipelineText(20000) + "}"), Kind::DeviceParameters},
        {"deepObject", {{"x", json::parse(nestedArrays(100))}}, Kind::DeviceParameters},
        {"deepPipelineText", qzAiPipeline(deepPipelineText(100)), Kind::Pipeline},
        {"wrongShape", qzAiPipeline(json::parse(R"({"models":"x","nodes":{"a":1}})")), Kind::Pipeline},
        {"nodesAnObject", qzAiPipeline(json::parse(R"({"models":[],"nodes":{"a":1}})")), Kind::Pipeline},
    };
    EngineHarness host;
    host.addCamera("good", "Fine", qzAiPipeline(pipelineDocument({good}, json::parse(R"([{"modelUUID": "good"}])"))));
    for (const auto& c : cases) host.addCamera(c.id, c.id, c.qzAI);

    ASSERT_TRUE(host.waitUntil([&] {
        for (const auto& c : cases) {
            if (!host.agent(c.id).errors().count(c.reported)) return false;
        }
        const auto snapshot = host.agent("good").settingsSnapshot();
        return snapshot && snapshot->stages.size() == 1;
    }));
    for (const auto& c : cases) {
        const auto snapshot = host.agent(c.id).settingsSnapshot();
        EXPECT_TRUE(!snapshot || snapshot->stages.empty()) << c.id;
    }
    // The cloud's pipeline list is held to the same limit.
    EXPECT_FALSE(qzai::parseAvailablePipelines(nestedArrays(100)));
    EXPECT_TRUE(qzai::parseAvailablePipelines("[" + nestedArrays(60) + "]"));
    qz::test::LogCapture log;  // a cloud pipeline cannot take the id that chooses the device's own
    const auto listed = qzai::parseAvailablePipelines(R"([{"uuid": "Custom"}, {"uuid": "p1"}])");
    EXPECT_TRUE(listed && listed->size() == 1 && listed->front().uuid == "p1");
    EXPECT_EQ(log.count("Warning! Leaving out the cloud pipeline with the id \"Custom\""), 1u);
}

TEST_F(EngineHardeningTest, CamerasComeAndGoWithoutWaitingOnASilentHostServer) {
    EngineHarness host;
    host.server().putDevice("kept", {{"parameters", json::object()}});
    host.server().putDevice("gone", {{"parameters", json::object()}});
    host.server().setMode(qz::test_host::FakeServer::Mode::never);
    host.addCamera("kept", "Kept", json::object());
    host.addCamera("gone", "Gone", json::object());
    host.releaseCamera("gone");
    // Only the loop thread talks to the host server.
    ASSERT_TRUE(host.server().waitForRequests(1, std::chrono::seconds(5)));
    for (const auto& request : host.server().requests()) {
        EXPECT_NE(request.sender, std::this_thread::get_id()) << request.method << " " << request.path;
    }
    // Once the server answers, the states it gets are the ones the cameras left.
    host.server().setMode(qz::test_host::FakeServer::Mode::normal);
    const auto enabled = [&](const char* id) {
        return host.server().device(id)->at("parameters").value("qzAI", json::object()).value("PluginEnabled", json());
    };
    EXPECT_TRUE(host.waitUntil([&] { return enabled("kept") == true && enabled("gone") == false; },
                               std::chrono::seconds(20)));
}

TEST_F(EngineHardeningTest, ServerParametersArePublishedOnceTheHostServerAnswers) {
    EngineHarness host;
    host.server().setMode(qz::test_host::FakeServer::Mode::fail500);
    host.addCamera("cam1", "Gate", json::object());
    ASSERT_TRUE(host.server().waitForRequests(3, std::chrono::seconds(5)));
    host.waitForPass();
    host.server().setMode(qz::test_host::FakeServer::Mode::normal);
    EXPECT_TRUE(host.waitUntil([&] {
        const json parameters = host.server().serverDocument()["parameters"];
        return parameters.contains("qzAI") && parameters["qzAI"].contains("availablePreprocessors");
    }));
}

TEST_F(EngineHardeningTest, APipelineFetchThatCannotStartIsTriedAgain) {
    const std::string path = "/api/system/cloud-system-1/device/cam1/available-pipelines";
    CloudStub::instance().route("GET", path, [](const httplib::Request&, httplib::Response& r) {
        r.set_content("[]", "application/json");
    });
    EngineHarness::Options options;
    options.cloudToken.clear();  // the loop does not fetch until a token arrives
    EngineHarness host(options);
    host.addCamera("cam1", "Gate", json::object());
    tFailThreadStarts = true;
    EXPECT_NO_THROW(host.agent("cam1").startPipelineFetch());
    tFailThreadStarts = false;
    host.provider().setCloudToken("cloud-token-1");
    EXPECT_TRUE(host.waitUntil([&] {
        const auto snapshot = host.agent("cam1").settingsSnapshot();
        return snapshot && snapshot->cloudParametersReceived;
    }));
    EXPECT_EQ(CloudStub::instance().count("GET", path), 1u);
}

// Each fetch holds a thread of its agent (and one in the name lookup), so
// many cameras must not all fetch at once; they take turns, and every one
// gets its pipelines. A request waits in the stub until a third one is
// inside with it, or a fifth of the client's time-out has passed.
TEST_F(EngineHardeningTest, PipelineFetchesOfManyCamerasTakeTurns) {
    struct Fetches {  // shared with stub handlers that may outlive the test body
        std::mutex mutex;
        std::condition_variable changed;
        int inside = 0;
        int mostInside = 0;
    };
    const auto fetches = std::make_shared<Fetches>();
    const int cameras = 5;
    for (int c = 0; c < cameras; ++c) {
        const std::string path = "/api/system/cloud-system-1/device/cam" + std::to_string(c) + "/available-pipelines";
        CloudStub::instance().route("GET", path, [fetches](const httplib::Request&, httplib::Response& r) {
            std::unique_lock<std::mutex> lock(fetches->mutex);
            fetches->mostInside = std::max(fetches->mostInside, ++fetches->inside);
            fetches->changed.notify_all();
            fetches->changed.wait_for(lock, std::chrono::milliseconds(200),
                                      [&] { return fetches->inside > qzai::Engine::kMaxPipelineFetches; });
            --fetches->inside;
            r.set_content("[]", "application/json");
        });
    }
    EngineHarness host;
    for (int c = 0; c < cameras; ++c) host.addCamera("cam" + std::to_string(c), "Gate", json::object());
    EXPECT_TRUE(host.waitUntil([&] {
        for (int c = 0; c < cameras; ++c) {
            const auto snapshot = host.agent("cam" + std::to_string(c)).settingsSnapshot();
            if (!snapshot || !snapshot->cloudParametersReceived) return false;
        }
        return true;
    }));
    std::lock_guard<std::mutex> lock(fetches->mutex);
    EXPECT_LE(fetches->mostInside, qzai::Engine::kMaxPipelineFetches);
}

TEST_F(EngineHardeningTest, ARevisionWithoutRawPostprocessingDropsTheEarlierConfiguration) {
    auto model = serveModel("det", {"truck"});
    model.description["RawPostprocessing"] = {
        {"modelArchitecture", "YOLO-NAS"}, {"confidenceThreshold", 0.6}, {"classes", {"truck"}}};
    EngineHarness host;
    host.addCamera("cam1", "Gate", qzAiPipeline(pipelineDocument({model}, json::parse(R"([{"modelUUID": "det"}])"))));
    const auto decoding = [&]() -> std::optional<bool> {
        const auto snapshot = host.agent("cam1").settingsSnapshot();
        if (!snapshot || snapshot->stages.empty()) return std::nullopt;
        const auto& m = *snapshot->stages[0].model;
        if (m.downloadState.load() != qzai::ModelDownloadState::Ready) return std::nullopt;
        if (m.lastModified != model.description["LastModified"]) return std::nullopt;
        return m.preparation()->builtInDecoding;
    };
    ASSERT_TRUE(host.waitUntil([&] { return decoding() == true; }));
    const fs::path config = fs::path(host.dataDir()) / "model_files" / "det" / "raw_postprocessing.json";
    EXPECT_TRUE(fs::exists(config));

    model.description.erase("RawPostprocessing");
    model.description["LastModified"] = "Wed, 02 Dec 2026 10:00:00 GMT";
    host.setDeviceParameters("cam1", qzAiPipeline(pipelineDocument({model}, json::parse(R"([{"modelUUID": "det"}])"))));
    ASSERT_TRUE(host.waitUntil([&] { return decoding() == false; }));
    EXPECT_FALSE(fs::exists(config));
    const auto& m = *host.agent("cam1").settingsSnapshot()->stages[0].model->preparation();
    EXPECT_EQ(m.confidenceThreshold, qzai::ModelPreparation{}.confidenceThreshold);
    EXPECT_TRUE(m.detectionClasses.empty());
}

TEST_F(EngineHardeningTest, SettingsAreAppliedWithoutAFreshPassWhenTheLoopIsHeldUp) {
    // A cloud reset that trickles a byte at a time holds the loop in its pass.
    // The stub's thread may trickle on after the test: it shares the flags.
    struct Trickle {
        std::atomic<bool> holding{false}, letGo{false};
    };
    const auto trickle = std::make_shared<Trickle>();
    CloudStub::instance().route("POST", "/api/reset/cloud-system-1/device/cam1",
                                [trickle](const httplib::Request&, httplib::Response& r) {
                                    r.set_chunked_content_provider("text/plain", [trickle](size_t, httplib::DataSink& sink) {
                                        trickle->holding = true;
                                        if (trickle->letGo) sink.done();
                                        else std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its pace
                                        return trickle->letGo || sink.write(" ", 1);
                                    });
                                });
    EngineHarness host;
    host.addCamera("cam1", "Gate", json::object());
    ASSERT_TRUE(host.waitUntil([&] { return host.agent("cam1").settingsSnapshot() != nullptr; }));
    host.press("cam1", "resetSingleDeviceButton");
    ASSERT_TRUE(host.waitUntil([&] { return trickle->holding.load(); }));

    qz::test::LogCapture log(2);
    host.sendSettings("cam1", {{"deviceActiveSwitch", "true"}});  // waits for a pass, at most five seconds
    EXPECT_TRUE(host.agent("cam1").settingsSnapshot()->deviceActive);
    EXPECT_EQ(log.count("cam1: applying settings without a fresh pass over the device parameters."), 1u);
    trickle->letGo = true;
}
