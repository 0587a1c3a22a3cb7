// The runtime-manager loop's duties towards the host server and the cloud,
// in process with the fake host server and the loopback cloud.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/support/engine_fixture.h"

using nlohmann::json;
using namespace qz::engine_test;

namespace {

json resetFlag(qz::test_host::FakeServer& server, const std::string& id) {
    return server.device(id)->at("parameters").at("qzAI").value("resetRequested", json());
}

}  // namespace

TEST(EngineLoop, HostResetFlagIsClearedOnlyForDevicesTheCloudReset) {
    CloudStub::instance().reset();
    CloudStub::instance().route("POST", "/api/reset/cloud-system-1/device/cam1",
                                [](const httplib::Request&, httplib::Response& r) { r.status = 204; });
    CloudStub::instance().route("POST", "/api/reset/cloud-system-1/device/cam2",
                                [](const httplib::Request&, httplib::Response& r) { r.status = 500; });
    EngineHarness host;
    const json flagged = {{"resetRequested", true}};
    // Both flags are on the server before the first pass sees the token.
    for (const char* id : {"cam1", "cam2"}) host.server().putDevice(id, {{"parameters", {{"qzAI", flagged}}}});
    host.addCamera("cam1", "Gate", flagged);
    host.addCamera("cam2", "Yard", flagged);

    ASSERT_TRUE(host.waitUntil([&] { return resetFlag(host.server(), "cam1") == false; }));
    EXPECT_EQ(CloudStub::instance().count("POST", "/api/reset/cloud-system-1/device/cam2"), 1u);
    // The failed reset is not forgotten: the host's flag stays for a later try.
    EXPECT_EQ(resetFlag(host.server(), "cam2"), true);
    CloudStub::instance().reset();
}

TEST(EngineLoop, RecoveryRequestsAreCarriedOutOneAPassResetFirstThenClearCacheThenRetry) {
    CloudStub::instance().reset();
    auto& stub = CloudStub::instance();
    const auto model = serveModel("det", {"person"});
    // What the stub's threads share with the test; they may still answer a
    // request the engine gave up, so they hold it and read the engine's
    // notices only while `Seen::engine` is set (cleared before it goes).
    struct Seen {
        std::atomic<bool> stalling{false};
        std::mutex gateMutex;
        std::condition_variable gateOpened;
        bool open = false;
        std::atomic<int> clearCacheWaitingAtReset{-1}, retryWaitingAtDownload{-1}, downloads{0};
        std::mutex engineMutex;
        qzai::Engine* engine = nullptr;
        bool has(const char* id) {
            std::lock_guard<std::mutex> lock(engineMutex);
            return engine && engine->messagingManager().messages().count(id) == 1;
        }
        bool waitForGate(std::chrono::milliseconds bound) {
            std::unique_lock<std::mutex> lock(gateMutex);
            return gateOpened.wait_for(lock, bound, [&] { return open; });
        }
    };
    const auto seen = std::make_shared<Seen>();
    EngineHarness host;
    seen->engine = &host.engine();
    struct Forget {
        Seen& seen;
        ~Forget() {
            std::lock_guard<std::mutex> lock(seen.engineMutex);
            seen.engine = nullptr;
        }
    } forget{*seen};
    const auto has = [&](const char* id) { return seen->has(id); };

    // The first reset keeps the loop busy (a byte at a time) until the gate opens.
    stub.route("POST", "/api/reset/cloud-system-1/device/cam1", [seen](const httplib::Request&, httplib::Response& r) {
        r.set_chunked_content_provider("text/plain", [seen](size_t, httplib::DataSink& sink) {
            seen->stalling = true;
            if (seen->waitForGate(std::chrono::milliseconds(100))) {
                sink.done();
                return true;
            }
            return sink.write(" ", 1);
        });
    });
    stub.route("POST", "/api/reset/cloud-system-1/device/cam2", [seen](const httplib::Request&, httplib::Response& r) {
        seen->clearCacheWaitingAtReset = seen->has(qzai::kClearCacheRequestedNotice);
        r.status = 204;
    });
    stub.route("GET", "/models/det", [seen, model](const httplib::Request&, httplib::Response& r) {
        if (++seen->downloads == 2) seen->retryWaitingAtDownload = seen->has(qzai::kModelRetryRequestedNotice);
        r.set_header("X-Key", base64(model.key));
        r.set_content(model.body, "application/octet-stream");
    });
    const json qzAI = {{"pipeline", pipelineDocument({model}, json::parse(R"([{"modelUUID": "det"}])"))}};
    host.addCamera("cam1", "Gate", qzAI);
    host.addCamera("cam2", "Yard", qzAI);
    ASSERT_TRUE(host.waitUntil([&] { return seen->downloads.load() == 1; }));

    host.press("cam1", "resetSingleDeviceButton");
    ASSERT_TRUE(host.waitUntil([&] { return seen->stalling.load(); }));
    // Queued while the loop is busy: all three wait with their notices.
    host.press("cam1", "clearCacheButton");
    host.press("cam1", "modelDownloadRetryButton");
    host.press("cam2", "resetSingleDeviceButton");
    for (const char* id : {qzai::kResetRequestedNotice, qzai::kClearCacheRequestedNotice, qzai::kModelRetryRequestedNotice}) {
        EXPECT_TRUE(has(id)) << id;
    }
    {
        std::lock_guard<std::mutex> lock(seen->gateMutex);
        seen->open = true;
    }
    seen->gateOpened.notify_all();

    // (The retry waits for a runtime again, which the cleared cache took.)
    ASSERT_TRUE(host.waitUntil(
        [&] { return !has(qzai::kResetRequestedNotice) && !has(qzai::kClearCacheRequestedNotice) && seen->downloads == 2; },
        std::chrono::seconds(10)));
    EXPECT_EQ(seen->clearCacheWaitingAtReset.load(), 1);  // the reset went first, alone in its pass
    EXPECT_EQ(seen->retryWaitingAtDownload.load(), 1);    // the cache was cleared in a pass of its own
    stub.reset();
}
