// Releasing agents and shutting the engine down while other threads work.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "engine/support/engine_fixture.h"
#include "qz/sdk/analytics/helpers/event_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_track_best_shot_packet.h"

using nlohmann::json;
using namespace qz::engine_test;

namespace {

json cameraWith(const json& pipeline) { return {{"pipeline", pipeline}}; }

void pushFrameTo(qzai::DeviceAgent& agent) {
    qz::test_host::FrameLayout layout;
    layout.timestampUs = nowUs();
    auto frame = qz::sdk::makePtr<qz::test_host::TestFrame>(layout);
    qz::sdk::Result<void> result;
    agent.pushDataPacket(frame.get(), &result);
}

}  // namespace

TEST(EngineRelease, AgentReleasedWhileFramesAndResultsArriveFromOtherThreads) {
    CloudStub::instance().reset();
    const auto detector = serveModel("det", {"person"});
    const json qzAI = cameraWith(pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])")));
    EngineHarness host;
    for (const char* id : {"cam1", "cam2", "cam3"}) {
        host.addCamera(id, id, qzAI);
        ASSERT_TRUE(host.waitUntil([&] { return host.agent(id).settingsSnapshot() != nullptr; }));
        host.sendSettings(id, {{"deviceActiveSwitch", "true"}});
    }
    // The threads below hold their own reference to cam2, as host threads
    // still inside a call would; the last one to let go destroys the agent.
    qz::sdk::Ptr<qzai::DeviceAgent> cam2 = qz::sdk::Ptr<qzai::DeviceAgent>::share(&host.agent("cam2"));
    const auto callback = cam2->resultCallback();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (const char* id : {"cam1", "cam3"}) {
        threads.emplace_back([&, agent = &host.agent(id)] {
            while (!stop) pushFrameTo(*agent);
        });
    }
    threads.emplace_back([agent = cam2]() mutable {
        for (int i = 0; i < 200; ++i) pushFrameTo(*agent);
        agent = nullptr;
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, callback] {
            while (!stop) {
                callback(qz::sdk::makePtr<qz::sdk::analytics::ObjectMetadataPacket>(), nullptr, {});
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cam2 = nullptr;
    host.releaseCamera("cam2");
    // The agent is gone once its last holder let go; it says so last thing.
    auto released = [&] {
        return host.server().device("cam2")->at("parameters").at("qzAI").value("PluginEnabled", true) == false;
    };
    for (int i = 0; i < 1000 && !released(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(released());
    const size_t packetsAfterRelease = host.recorder().packets("cam2").size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& thread : threads) thread.join();

    // Once the agent is gone its callback delivers nothing more.
    EXPECT_EQ(host.recorder().packets("cam2").size(), packetsAfterRelease);
    EXPECT_GT(packetsAfterRelease, 0u);
    EXPECT_GT(host.agent("cam1").framesAdmitted(), 0u);
}

TEST(EngineRelease, ShutdownDoesNotWaitForAStalledModelDownloadOrHostServer) {
    CloudStub::instance().reset();
    auto slow = serveModel("slow", {"car"});
    // Shared with the stub's thread, which stalls past the test's end.
    const auto requested = std::make_shared<std::atomic<bool>>(false);
    CloudStub::instance().route("GET", "/models/slow", [requested](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/octet-stream",
                                              [requested](size_t, httplib::DataSink& sink) {
                                                  sink.write("abc", 3);
                                                  *requested = true;
                                                  CloudStub::instance().server().waitForRelease(std::chrono::seconds(20));
                                                  return false;
                                              });
    });
    const auto started = std::chrono::steady_clock::now();
    {
        EngineHarness host;
        host.addCamera("cam1", "Gate", cameraWith(pipelineDocument({slow}, json::parse(R"([{"modelUUID": "slow"}])"))));
        ASSERT_TRUE(host.waitUntil([&] { return requested->load(); }));
        host.server().setMode(qz::test_host::FakeServer::Mode::never);  // and the host stops answering
        host.shutdown();
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    CloudStub::instance().server().release();
    EXPECT_LT(elapsed, std::chrono::seconds(5));  // a hang guard, not a speed measure
}
