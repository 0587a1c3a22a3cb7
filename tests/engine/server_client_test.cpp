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

TEST(ServerClient, PluginStateIsMergedInTheFormTheHostKeepsItAndNothingElseIsTouched) {
    const std::string pipelineText = R"({"pipeline":{"models":[],"nodes":[]}})";
    struct Case {
        const char* name;
        json parameters;  // null: the device has none
        bool accepted;
    };
    const Case cases[] = {
        {"qzAI as text", {{"qzAI", pipelineText}, {"other", "x"}}, true},
        {"parameters as text", json(R"({"qzAI":{"a":1},"other":2})"), true},
        {"qzAI as object", {{"qzAI", {{"a", 1}}}, {"other", "x"}}, true},
        {"no parameters", json(), true},
        {"parameters a number", 5, false},
        {"qzAI an array", {{"qzAI", {1}}}, false},
        {"qzAI text not an object", {{"qzAI", "[1]"}}, false},
    };
    // The parameters as the reader sees them: objects, texts parsed.
    const auto readable = [](const json& parameters) {
        json p = parameters.is_string() ? json::parse(parameters.get<std::string>()) : parameters;
        if (p.is_object() && p.contains("qzAI") && p["qzAI"].is_string()) p["qzAI"] = json::parse(p["qzAI"].get<std::string>());
        return p;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client;
        json document = {{"name", "Gate"}};
        if (!c.parameters.is_null()) document["parameters"] = c.parameters;
        client.server->putDevice("cam1", document);
        const json before = *client.server->device("cam1");

        EXPECT_EQ(client.client.setPluginEnabled("cam1", true), c.accepted);
        const json after = *client.server->device("cam1");
        if (!c.accepted) {
            EXPECT_EQ(after, before);
            continue;
        }
        EXPECT_EQ(after.at("parameters").type(), (c.parameters.is_null() ? json::object() : c.parameters).type());
        json expected = c.parameters.is_null() ? json::object() : readable(c.parameters);
        expected["qzAI"]["PluginEnabled"] = true;
        EXPECT_EQ(readable(after.at("parameters")), expected);
        EXPECT_EQ(after.at("name"), "Gate");

        // The same state again sends nothing.
        const size_t requests = client.server->requests().size();
        EXPECT_TRUE(client.client.setPluginEnabled("cam1", true));
        EXPECT_EQ(client.server->requests().size(), requests + 1);  // the read only
    }
    // An object is patched with the changed key alone, so what the host
    // changes meanwhile elsewhere in the document stays.
    Client client;
    client.server->putDevice("cam1", {{"parameters", {{"qzAI", {{"a", 1}}}}}});
    ASSERT_TRUE(client.client.setPluginEnabled("cam1", false));
    EXPECT_EQ(json::parse(client.server->requests().back().body),
              json::parse(R"({"parameters":{"qzAI":{"PluginEnabled":false}}})"));

    // An id is one path segment, whatever it holds.
    client.server->putDevice("{cam/2}?x=1#y", {{"parameters", json::object()}});
    ASSERT_TRUE(client.client.setPluginEnabled("{cam/2}?x=1#y", true));
    EXPECT_EQ(client.server->device("{cam/2}?x=1#y")->at("parameters").at("qzAI").at("PluginEnabled"), true);
    EXPECT_EQ(client.server->requests().back().path, "/rest/v4/devices/%7Bcam%2F2%7D%3Fx%3D1%23y");
}
