#include <gtest/gtest.h>

#include <future>
#include <memory>

#include <nlohmann/json.hpp>

#include "host/fake_utility_provider.h"
#include "host/test_frame.h"
#include "qz/sdk/helpers/string_map.h"
#include "qz/sdk/helpers/unit_test_options.h"
#include "qz/sdk/helpers/utility_provider.h"

namespace qz::test_host {
namespace {

using nlohmann::json;
using qz::sdk::ErrorCode;

TEST(FakeServer, StoresAndMergesDocumentsPerPath) {
    FakeServer server("srv");
    server.putDevice("{d1}", {{"name", "one"}, {"parameters", {{"qzAI", {{"a", 1}, {"b", 2}}}}}});
    server.putDevice("d2", {{"serverId", "other"}});

    auto patch = server.handle({"PATCH", "/rest/v4/devices/%7Bd1%7D", R"({"parameters":{"qzAI":{"a":null,"c":3}}})"});
    EXPECT_EQ(patch.httpStatus, 200);
    EXPECT_EQ(server.device("{d1}")->at("parameters").at("qzAI"), (json{{"b", 2}, {"c", 3}}));

    auto list = json::parse(server.handle({"GET", "/rest/v4/devices?serverId=srv", ""}).body);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["id"], "{d1}");

    EXPECT_EQ(server.handle({"PATCH", "/rest/v4/servers/this", R"({"parameters":{"qzAI":{"x":true}}})"}).httpStatus, 200);
    EXPECT_EQ(server.serverDocument()["parameters"]["qzAI"]["x"], true);
    EXPECT_EQ(json::parse(server.handle({"GET", "/rest/v4/servers/this", ""}).body)["id"], "srv");

    EXPECT_EQ(server.handle({"GET", "/rest/v4/devices/none", ""}).httpStatus, 404);
    EXPECT_EQ(server.handle({"PATCH", "/rest/v4/servers/this", "{not json"}).httpStatus, 400);
    EXPECT_EQ(server.handle({"GET", "/elsewhere", ""}).httpStatus, 404);
    EXPECT_EQ(server.requests().size(), 7u);
    EXPECT_EQ(server.requests()[0].method, "PATCH");
}

struct Reply {
    ErrorCode error;
    int status;
    std::string body;
};

TEST(FakeServer, AnswersThroughTheUtilityProviderPerMode) {
    auto server = std::make_shared<FakeServer>("srv");
    HostIdentity identity;
    identity.homeDir = "/home/host";
    qz::sdk::UtilityProvider provider(
        qz::sdk::Ptr<qz::sdk::IUtilityProvider>(new FakeUtilityProvider(identity, server)));
    EXPECT_EQ(provider.homeDir(), "/home/host");
    EXPECT_EQ(provider.cloudToken(), identity.cloudToken);
    EXPECT_EQ(provider.serverId(), identity.serverId);

    auto send = [&] {
        auto promise = std::make_shared<std::promise<Reply>>();
        provider.sendRestRequest("GET", "/rest/v4/servers/this", "", [promise](ErrorCode e, int s, const std::string& b) {
            promise->set_value({e, s, b});
        });
        return promise->get_future();
    };
    Reply ok = send().get();
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(json::parse(ok.body)["id"], "srv");

    server->setMode(FakeServer::Mode::fail500);
    EXPECT_EQ(send().get().status, 500);

    server->setMode(FakeServer::Mode::never);
    auto pending = send();
    ASSERT_TRUE(server->waitForRequests(3, std::chrono::seconds(5)));
    server->stop();  // the unanswered handler is released without a call
    EXPECT_THROW(pending.get(), std::future_error);

    // The "homeDir" test option overrides what the host reports.
    qz::sdk::setUnitTestOptions(qz::sdk::makePtr<qz::sdk::StringMap>(
        std::map<std::string, std::string>{{qz::sdk::kUnitTestOptionHomeDir, "/tmp/override"}}).get());
    EXPECT_EQ(provider.homeDir(), "/tmp/override");
    qz::sdk::setUnitTestOptions(qz::sdk::makePtr<qz::sdk::StringMap>().get());
}

TEST(TestFrame, PlanesHonourLineSizesPaddingAndSquares) {
    FrameLayout layout;
    layout.width = 7;
    layout.height = 5;
    layout.lineSizes = {16, 0, 9};
    layout.y = 20;
    layout.squares = {{5, 3, 4, 200}};  // clipped at the right and bottom edges
    auto frame = qz::sdk::makePtr<TestFrame>(layout);
    EXPECT_EQ(frame->lineSize(0), 16);
    EXPECT_EQ(frame->lineSize(1), 4);  // ceil(7 / 2)
    EXPECT_EQ(frame->lineSize(2), 9);
    EXPECT_EQ(frame->data(3), nullptr);
    const uint8_t* y = frame->data(0);
    EXPECT_EQ(y[0], 20);
    EXPECT_EQ(y[4 * 16 + 6], 200);
    EXPECT_EQ(y[2 * 16 + 6], 20);
    EXPECT_EQ(y[4 * 16 + 7], TestFrame::kPaddingByte);
    EXPECT_EQ(frame->data(2)[2 * 9 + 3], 128);
    EXPECT_EQ(frame->data(2)[2 * 9 + 4], TestFrame::kPaddingByte);

    layout.lineSizes = {6, 0, 0};
    EXPECT_THROW(TestFrame{layout}, std::invalid_argument);
}

}  // namespace
}  // namespace qz::test_host
