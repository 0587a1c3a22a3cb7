// Releasing device agents and shutting the engine down while frames and
// outputs are in flight from eight cameras, through the real plug-in library:
// the test runtime answers after a jittered delay, so outputs finish out of
// order and are still queued, post-processed or being delivered when their
// agent goes. No crash, no leaked library object, and no packet reaches the
// host for a camera after its agent was released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/road_rig.h"

namespace qz::test_host {
namespace {

using namespace std::chrono_literals;

constexpr int kCameras = 8;

int64_t wallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One host frame thread per camera, pushing until told to stop. It holds its
// own reference to the agent and drops it when it ends, so the host's release
// afterwards is the agent's last one.
class CameraFeed {
public:
    CameraFeed(qz::sdk::analytics::IConsumingDeviceAgent* agent, int camera)
        : m_agent(qz::sdk::Ptr<qz::sdk::analytics::IConsumingDeviceAgent>::share(agent)) {
        m_thread = std::thread([this, camera] {
            auto agent = std::move(m_agent);
            for (int frame = 0; !m_stop.load(); ++frame) {
                FrameLayout layout;
                layout.width = 640;
                layout.height = 360;
                layout.timestampUs = wallClockUs();
                layout.squares = {{40 + (frame * 4 + camera * 50) % 400, 60, 96, 235}};
                qz::sdk::Result<void> result;
                agent->pushDataPacket(qz::sdk::makePtr<TestFrame>(layout).get(), &result);
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~CameraFeed() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

private:
    qz::sdk::Ptr<qz::sdk::analytics::IConsumingDeviceAgent> m_agent;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(Shutdown, AgentsAndEngineGoWhileFramesAndOutputsAreInFlight) {
    RoadRigOptions options;
    options.pluginPath = QZ_PLUGIN_LIBRARY;
    options.runtimePath = QZ_TEST_RUNTIME_LIBRARY;
    options.cameras = kCameras;
    options.modelDescriptor = nlohmann::json{{"mode", "detect"},
                                             {"output_name", RoadRig::kOutputName},
                                             {"rows", {{40, 60, 140, 160, 0.9, 0}, {200, 30, 260, 120, 0.8, 0}}}}
                                  .dump();
    options.runtimeArgs = {{"latency_ms", "10"}, {"latency_jitter_ms", "40"}};
    RoadRig rig(options);
    TestHost& host = rig.host();
    const std::vector<std::string>& ids = rig.cameraIds();

    std::vector<std::unique_ptr<CameraFeed>> feeds;
    for (int c = 0; c < kCameras; ++c)
        feeds.push_back(std::make_unique<CameraFeed>(host.deviceAgent(ids[static_cast<size_t>(c)]), c));

    // Every camera's road is open and busy: each delivered a number of packets.
    const bool flowing = host.recorder().waitUntil(
        [&](const std::vector<RecordedPacket>& packets) {
            std::map<std::string, int> perCamera;
            for (const RecordedPacket& packet : packets) ++perCamera[packet.deviceId];
            if (perCamera.size() != ids.size()) return false;
            for (const auto& [id, count] : perCamera)
                if (count < 20) return false;
            return true;
        },
        30s);
    ASSERT_TRUE(flowing) << "packets did not reach every camera";

    // Half of the cameras go one by one while the others keep pushing.
    std::map<std::string, size_t> packetsAtRelease;
    for (int c = 0; c < kCameras / 2; ++c) {
        const std::string& id = ids[static_cast<size_t>(c)];
        feeds[static_cast<size_t>(c)]->stop();
        host.releaseDeviceAgent(id);
        packetsAtRelease[id] = host.recorder().packets(id).size();
        std::this_thread::sleep_for(100ms);  // the others keep the road busy meanwhile
    }

    // Then the rest stop pushing and everything is released at once.
    for (auto& feed : feeds) feed->stop();
    for (int c = kCameras / 2; c < kCameras; ++c) {
        const std::string& id = ids[static_cast<size_t>(c)];
        host.releaseDeviceAgent(id);
        packetsAtRelease[id] = host.recorder().packets(id).size();
    }
    const UnloadReport report = host.unload();
    EXPECT_EQ(report.objectsLeaked, 0u);
    EXPECT_EQ(report.unmatchedDestroys, 0u);

    for (const std::string& id : ids) {
        SCOPED_TRACE(id);
        EXPECT_EQ(host.recorder().packets(id).size(), packetsAtRelease[id]) << "a packet came after the release";
    }
}

}  // namespace
}  // namespace qz::test_host
