// The runtime-manager loop's duties towards the host server and the cloud,
// in process with the fake host server and the loopback cloud.
#include <gtest/gtest.h>

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
