// The host REST client against the fake host server.
#include "engine/server_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/fake_server.h"
#include "host/fake_utility_provider.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using nlohmann::json;

namespace {

struct Client {
    std::shared_ptr<qz::test_host::FakeServer> server = std::make_shared<qz::test_host::FakeServer>("srv");
    std::atomic<bool> cancel{false};
    qzai::ServerClient client{qz::sdk::UtilityProvider(qz::sdk::makePtr<qz::test_host::FakeUtilityProvider>(
                                  qz::test_host::HostIdentity{"/tmp", "srv", "sys", "cloud", "token"}, server)),
                              &cancel};
};

}  // namespace

TEST(ServerClient, UpdatesOnlyItsOwnStateAndListsThisServersDevices) {
    Client c;
    c.server->setServerDocument(
        {{"id", "srv"}, {"parameters", {{"other", 1}, {"qzAI", {{"runtimeInformation", "old"}, {"keep", true}}}}}});
    c.server->putDevice("cam1", {{"name", "Gate"}, {"parameters", json::object()}});
    c.server->putDevice("cam9", {{"name", "Elsewhere"}, {"serverId", "other-server"}});

    EXPECT_TRUE(c.client.updateQzAi("/rest/v4/servers/this", [](json& qzAI) { qzAI["runtimeInformation"] = "new"; }));
    const json parameters = c.server->serverDocument()["parameters"];
    EXPECT_EQ(parameters["other"], 1);
    EXPECT_EQ(parameters["qzAI"]["keep"], true);
    EXPECT_EQ(parameters["qzAI"]["runtimeInformation"], "new");

    EXPECT_TRUE(c.client.setPluginEnabled("cam1", true));
    EXPECT_EQ(c.server->device("cam1")->at("parameters").at("qzAI").at("PluginEnabled"), true);
    EXPECT_FALSE(c.client.setPluginEnabled("unknown", true));  // 404

    const auto devices = c.client.devices();
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices->size(), 1u);
    EXPECT_EQ((*devices)[0]["id"], "cam1");
}

TEST(ServerClient, FailuresAndSilenceEndTheRequestWithoutAnAnswer) {
    Client c;
    c.server->setMode(qz::test_host::FakeServer::Mode::fail500);
    auto reply = c.client.request("GET", "/rest/v4/servers/this");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.status, 500);
    EXPECT_FALSE(c.client.thisServer());

    // A host that never answers: the request gives up when cancelled (and,
    // without a cancel, after HTTPRequestTimeout).
    c.server->setMode(qz::test_host::FakeServer::Mode::never);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        c.cancel = true;
    });
    reply = c.client.request("GET", "/rest/v4/servers/this");
    canceller.join();
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.status, 0);
}

TEST(ServerClient, ConcurrentUpdatesOfOneDocumentKeepEachOthersKeys) {
    // A camera's agent publishes "PluginEnabled" while the loop writes another
    // key of the same device: neither write may bring back a stale value of
    // the other's key.
    Client c;
    c.server->putDevice("cam1", {{"parameters", {{"qzAI", {{"a", -1}, {"b", -1}}}}}});
    auto writer = [&c](const char* key, int* lost) {
        for (int i = 0; i < 200; ++i) {
            c.client.updateQzAi(qzai::ServerClient::devicePath("cam1"), [&](json& qzAI) { qzAI[key] = i; });
            if (c.server->device("cam1")->at("parameters").at("qzAI").at(key) != i) ++*lost;
        }
    };
    int lostA = 0, lostB = 0;
    std::thread a(writer, "a", &lostA);
    std::thread b(writer, "b", &lostB);
    a.join();
    b.join();
    EXPECT_EQ(lostA, 0);
    EXPECT_EQ(lostB, 0);
}
