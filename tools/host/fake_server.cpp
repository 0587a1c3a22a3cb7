#include "host/fake_server.h"

#include <cstdlib>
#include <utility>

namespace qz::test_host {

namespace {

constexpr char kServerPath[] = "/rest/v4/servers/this";
constexpr char kDevicesPath[] = "/rest/v4/devices";

RestResponse json200(const nlohmann::json& document) { return {qz::sdk::ErrorCode::noError, 200, document.dump()}; }
RestResponse status(int code, const std::string& message) {
    return {qz::sdk::ErrorCode::noError, code, nlohmann::json{{"error", message}}.dump()};
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

FakeServer::FakeServer(std::string serverId)
    : m_serverId(std::move(serverId)),
      m_server({{"id", m_serverId}, {"name", "test server"}, {"parameters", nlohmann::json::object()}}),
      m_thread([this] { run(); }) {}

FakeServer::~FakeServer() { stop(); }

void FakeServer::setMode(Mode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
}

nlohmann::json FakeServer::serverDocument() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_server;
}

void FakeServer::setServerDocument(nlohmann::json document) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_server = std::move(document);
}

void FakeServer::putDevice(const std::string& deviceId, nlohmann::json document) {
    if (!document.is_object()) document = nlohmann::json::object();
    document["id"] = deviceId;
    if (!document.contains("serverId")) document["serverId"] = m_serverId;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices[deviceId] = std::move(document);
}

std::optional<nlohmann::json> FakeServer::device(const std::string& deviceId) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_devices.find(deviceId);
    if (it == m_devices.end()) return std::nullopt;
    return it->second;
}

std::vector<RestRequest> FakeServer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool FakeServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void FakeServer::record(const RestRequest& request) {
    m_requests.push_back(request);
    m_changed.notify_all();
}

RestResponse FakeServer::handle(const RestRequest& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record(request);
    return answer(request);
}

RestResponse FakeServer::answer(const RestRequest& request) {
    const bool isGet = request.method == "GET";
    const bool isPatch = request.method == "PATCH";
    nlohmann::json patch;
    if (isPatch) {
        patch = nlohmann::json::parse(request.body, nullptr, /*allow_exceptions=*/false);
        if (patch.is_discarded()) return status(400, "body is not JSON");
    }

    if (request.path == kServerPath) {
        if (isGet) return json200(m_server);
        if (isPatch) {
            m_server.merge_patch(patch);
            return json200(m_server);
        }
        return status(405, "method not allowed");
    }

    const std::string devicesQuery = std::string(kDevicesPath) + "?serverId=";
    if (request.path.rfind(devicesQuery, 0) == 0) {
        if (!isGet) return status(405, "method not allowed");
        const std::string serverId = percentDecoded(request.path.substr(devicesQuery.size()));
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [id, document] : m_devices) {
            if (document.value("serverId", "") == serverId) list.push_back(document);
        }
        return json200(list);
    }

    const std::string devicePrefix = std::string(kDevicesPath) + "/";
    if (request.path.rfind(devicePrefix, 0) == 0) {
        auto it = m_devices.find(percentDecoded(request.path.substr(devicePrefix.size())));
        if (it == m_devices.end()) return status(404, "no such device");
        if (isGet) return json200(it->second);
        if (isPatch) {
            it->second.merge_patch(patch);
            return json200(it->second);
        }
        return status(405, "method not allowed");
    }
    return status(404, "no such path");
}

void FakeServer::sendAsync(RestRequest request, qz::sdk::Ptr<qz::sdk::IRestRequestHandler> handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    record(request);
    if (m_stopping) return;  // the handler is released unanswered
    m_queue.push_back({std::move(request), std::move(handler)});
    m_changed.notify_all();
}

void FakeServer::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
        if (m_stopping) return;
        Pending pending = std::move(m_queue.front());
        m_queue.pop_front();
        if (m_mode == Mode::never) {
            m_unanswered.push_back(std::move(pending));
            continue;
        }
        const RestResponse response =
            m_mode == Mode::fail500 ? status(500, "internal server error") : answer(pending.request);
        lock.unlock();
        if (pending.handler)
            pending.handler->onCompleted(response.error, response.httpStatus, response.body.c_str());
        pending.handler.reset();
        lock.lock();
    }
}

void FakeServer::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    std::deque<Pending> queue;
    std::vector<Pending> unanswered;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        queue.swap(m_queue);
        unanswered.swap(m_unanswered);
    }
}

}  // namespace qz::test_host
