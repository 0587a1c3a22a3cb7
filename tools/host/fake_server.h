// FakeServer: the host server's REST API as the plug-in sees it, in process.
//
// Stores JSON documents and answers:
//   GET   /rest/v4/servers/this           - this server's document
//   PATCH /rest/v4/servers/this           - JSON merge patch of it
//   GET   /rest/v4/devices?serverId=<id>  - array of the devices of server <id>
//   GET   /rest/v4/devices/<id>           - one device (404 when unknown)
//   PATCH /rest/v4/devices/<id>           - JSON merge patch of it (404 when unknown)
// Anything else is 404, a body that is not JSON 400. Every request is recorded.
// Requests sent through sendAsync are answered in order on the server's own
// thread; Mode::fail500 answers 500, Mode::never keeps them unanswered until
// stop(). Thread-safe. stop() (also run by the destructor) joins the thread and
// releases every unanswered handler without calling it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "qz/sdk/interface_ids.h"

namespace qz::test_host {

struct RestRequest {
    std::string method;
    std::string path;
    std::string body;
    std::thread::id sender = std::this_thread::get_id();  // the thread that sent it
};

struct RestResponse {
    qz::sdk::ErrorCode error = qz::sdk::ErrorCode::noError;
    int httpStatus = 200;
    std::string body;
};

class FakeServer {
public:
    enum class Mode { normal, fail500, never };

    explicit FakeServer(std::string serverId);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    const std::string& serverId() const { return m_serverId; }
    void setMode(Mode mode);

    nlohmann::json serverDocument() const;
    void setServerDocument(nlohmann::json document);
    // Adds or replaces a device; "id" and "serverId" (this server's when
    // missing) are filled in.
    void putDevice(const std::string& deviceId, nlohmann::json document);
    std::optional<nlohmann::json> device(const std::string& deviceId) const;

    std::vector<RestRequest> requests() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

    // Records and answers one request at once (ignores the mode).
    RestResponse handle(const RestRequest& request);
    // Records the request and answers it on the server thread per the mode.
    void sendAsync(RestRequest request, qz::sdk::Ptr<qz::sdk::IRestRequestHandler> handler);

    void stop();

private:
    struct Pending {
        RestRequest request;
        qz::sdk::Ptr<qz::sdk::IRestRequestHandler> handler;
    };

    RestResponse answer(const RestRequest& request);  // m_mutex held
    void record(const RestRequest& request);           // m_mutex held
    void run();

    const std::string m_serverId;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Mode m_mode = Mode::normal;
    nlohmann::json m_server;
    std::map<std::string, nlohmann::json> m_devices;
    std::vector<RestRequest> m_requests;
    std::deque<Pending> m_queue;
    std::vector<Pending> m_unanswered;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace qz::test_host
