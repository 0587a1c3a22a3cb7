// The HTTP client layer against a loopback server: what downloadFile does not
// already exercise (POST, request and response headers, the idle time-out).
#include <gtest/gtest.h>

#include "common/http_client.h"
#include "support/loopback_http_server.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using namespace std::chrono_literals;

TEST(HttpClient, PostSendsHeadersAndBodyAndReturnsResponseHeaders) {
    qz::test::LoopbackHttpServer http;
    http.server().Post("/reset", [](const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Key", "abc==");
        res.set_content(req.get_header_value("Authorization") + "|" + req.get_header_value("User-Agent") + "|" +
                            req.body,
                        "text/plain");
    });
    http.start();
    qzai::HttpRequest request;
    request.method = "POST";
    request.url = http.url("/reset");
    request.headers = {{"Authorization", "Bearer t0ken"}, {"User-Agent", "QZAI-Plugin/5.0.42"}};
    request.body = R"({"devices":[]})";
    const auto response = qzai::HttpClient().send(request);
    EXPECT_TRUE(response.complete) << response.error;
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, R"(Bearer t0ken|QZAI-Plugin/5.0.42|{"devices":[]})");
    EXPECT_EQ(response.header("x-key"), "abc==");
    EXPECT_EQ(response.contentLength(), response.body.size());
    EXPECT_FALSE(response.header("Last-Modified"));
}

TEST(HttpClient, IdleTimeOutEndsAStalledTransfer) {
    qz::test::LoopbackHttpServer http;
    http.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(100, "text/plain", [&](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset == 0) return sink.write("12345", 5);
            http.waitForRelease();
            return false;
        });
    });
    http.start();
    qzai::HttpRequest request;
    request.url = http.url("/stall");
    request.idleTimeout = 300ms;
    int ticks = 0;
    qzai::HttpCallbacks callbacks;
    callbacks.onTick = [&] { return ++ticks > 0; };
    const auto started = std::chrono::steady_clock::now();
    const auto response = qzai::HttpClient().send(request, callbacks);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(response.complete);
    EXPECT_FALSE(response.cancelled);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "12345");
    EXPECT_NE(response.error.find("no data for 300 ms"), std::string::npos) << response.error;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_GE(ticks, 3);  // the caller was consulted while nothing arrived
}

TEST(HttpClient, RedirectLoopAndRefusedConnectionAreErrors) {
    qz::test::LoopbackHttpServer http;
    http.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    http.start();
    qzai::HttpRequest request;
    request.url = http.url("/loop");
    request.maxRedirects = 3;
    const auto looped = qzai::HttpClient().send(request);
    EXPECT_FALSE(looped.complete);
    EXPECT_FALSE(looped.error.empty());

    request.url = "http://127.0.0.1:1/";
    const auto refused = qzai::HttpClient().send(request);
    EXPECT_FALSE(refused.complete);
    EXPECT_EQ(refused.status, 0);
    EXPECT_TRUE(refused.headers.empty());
}

TEST(HttpClient, ExceptionFromACallbackStopsTheTransferAndReachesTheCaller) {
    qz::test::LoopbackHttpServer http;
    http.server().Get("/data", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(100'000, 'x'), "application/octet-stream");
    });
    http.start();
    qzai::HttpRequest request;
    request.url = http.url("/data");
    for (const bool inResponse : {true, false}) {
        SCOPED_TRACE(inResponse ? "onResponse" : "onData");
        qzai::HttpCallbacks callbacks;
        callbacks.onResponse = [&](const qzai::HttpResponse&) -> bool {
            if (inResponse) throw std::runtime_error("no room");
            return true;
        };
        callbacks.onData = [&](const char*, size_t) -> bool { throw std::runtime_error("disk full"); };
        EXPECT_THROW(qzai::HttpClient().send(request, callbacks), std::runtime_error);
    }
    // The client is still usable afterwards.
    EXPECT_TRUE(qzai::HttpClient().send(request).complete);
}

// A test that fails before its first request must not hang in the server's
// destructor.
TEST(LoopbackHttpServer, StopRightAfterStartReturns) {
    for (int i = 0; i < 50; ++i) {
        qz::test::LoopbackHttpServer http;
        http.start();
    }
}

TEST(HttpClient, HostileServersAreCutOffByTheBodyCapAndTheTotalDeadline) {
    qz::test::LoopbackHttpServer http;
    http.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(5000, 'b'), "application/octet-stream");
    });
    // One byte at a time, each well within the idle time-out, for ever.
    http.server().Get("/trickle", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [&](size_t, httplib::DataSink& sink) {
            http.waitForRelease(50ms);
            return sink.write("x", 1);
        });
    });
    http.start();
    struct Case {
        const char* path;
        uint64_t maxBodyBytes;
        std::chrono::milliseconds totalTimeout;
        const char* error;
    };
    const Case cases[] = {
        {"/big", 1000, 0ms, "the body is larger than 1000 bytes"},
        {"/big", 5000, 0ms, ""},
        {"/trickle", qzai::kMaxBodyInMemory, 400ms, "not done within 400 ms"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        qzai::HttpRequest request;
        request.url = http.url(c.path);
        request.idleTimeout = 5s;
        request.maxBodyBytes = c.maxBodyBytes;
        request.totalTimeout = c.totalTimeout;
        const auto response = qzai::HttpClient().send(request);
        EXPECT_EQ(response.complete, std::string(c.error).empty());
        EXPECT_EQ(response.error, c.error);
        EXPECT_FALSE(response.cancelled);
        EXPECT_LE(response.body.size(), c.maxBodyBytes);
    }
    http.release();
}
