#include "engine/server_client.h"

#include <chrono>
#include <limits>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "common/ini.h"
#include "common/json_utils.h"
#include "common/log.h"
#include "common/text_utils.h"
#include "engine/qzai_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::json;

std::mutex& restMutex() {
    static std::mutex mutex;
    return mutex;
}

// Held across the read and the write-back of updateQzAi, so two updates of
// one document never write back each other's stale keys. Always taken
// before restMutex.
std::mutex& updateMutex() {
    static std::mutex mutex;
    return mutex;
}

// Shared with the completion, which may run after the request has given up.
struct PendingReply {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
    ServerClient::Reply reply;
};

constexpr auto kCancelPoll = std::chrono::milliseconds(50);

}  // namespace

ServerClient::ServerClient(qz::sdk::UtilityProvider provider, const std::atomic<bool>* cancel,
                           std::chrono::steady_clock::time_point deadline)
    : m_provider(std::move(provider)), m_cancel(cancel), m_deadline(deadline) {}

std::string ServerClient::devicePath(const std::string& deviceId) {
    return "/rest/v4/devices/" + percentEncoded(deviceId);
}

ServerClient::Reply ServerClient::request(const std::string& method, const std::string& path,
                                          const std::string& body) const {
    std::lock_guard<std::mutex> serialise(restMutex());
    auto pending = std::make_shared<PendingReply>();
    m_provider.sendRestRequest(method, path, body,
                               [pending](qz::sdk::ErrorCode error, int status, const std::string& answer) {
                                   std::lock_guard<std::mutex> lock(pending->mutex);
                                   pending->reply.ok = error == qz::sdk::ErrorCode::noError && status >= 200 &&
                                                       status < 300;
                                   pending->reply.status = status;
                                   pending->reply.body = answer;
                                   pending->done = true;
                                   pending->condition.notify_all();
                               });
    const auto deadline =
        std::min(m_deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(ini().HTTPRequestTimeout));
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->done) {
        if (m_cancel && m_cancel->load()) {
            logInfo("REST request %s %s abandoned: shutting down.\n", method.c_str(), path.c_str());
            return {};
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            logMessage("Error! REST request %s %s got no answer in time.\n", method.c_str(), path.c_str());
            return {};
        }
        pending->condition.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now, kCancelPoll));
    }
    if (!pending->reply.ok) {
        logMessage("Error! REST request %s %s failed with status %d.\n", method.c_str(), path.c_str(),
                   pending->reply.status);
    }
    return pending->reply;
}

std::optional<json> ServerClient::getJson(const std::string& path, size_t maxDepth) const {
    const Reply reply = request("GET", path);
    if (!reply.ok) return std::nullopt;
    json document = parseOutsideJson(reply.body, ("The answer of GET " + path).c_str(), maxDepth);
    if (document.is_discarded()) {
        logMessage("Error! Answer of GET %s is not JSON.\n", path.c_str());
        return std::nullopt;
    }
    return document;
}

bool ServerClient::updateQzAi(const std::string& path, const std::function<void(json& qzAI)>& update) const {
    std::lock_guard<std::mutex> serialise(updateMutex());
    auto document = getJson(path);
    if (!document || !document->is_object()) {
        if (document) logMessage("Error! Document at %s is not a JSON object.\n", path.c_str());
        return false;
    }
    std::string error;
    const auto patch = qzAiMergePatch(*document, update, &error);
    if (!patch) {
        logMessage("Error! Not updating the qzAI state of %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    if (patch->is_null()) return true;  // the document already holds that state
    return request("PATCH", path, patch->dump()).ok;
}

std::optional<json> ServerClient::thisServer() const { return getJson("/rest/v4/servers/this"); }

std::optional<json> ServerClient::devices() const {
    // Read at any depth (the parser and the destructor do not recurse), so
    // one device nesting too deeply cannot hide the others: each device is
    // held to the limit on its own before it is copied.
    auto list = getJson("/rest/v4/devices?serverId=" + percentEncoded(m_provider.serverId()), std::numeric_limits<size_t>::max());
    if (list && !list->is_array()) {
        logMessage("Error! The device list of this server is not a JSON array.\n");
        return std::nullopt;
    }
    return list;
}

bool ServerClient::setPluginEnabled(const std::string& deviceId, bool enabled) const {
    const bool ok = updateQzAi(devicePath(deviceId), [enabled](json& qzAI) { qzAI["PluginEnabled"] = enabled; });
    if (!ok) logMessage("Error! Could not publish PluginEnabled=%s for device %s.\n", enabled ? "true" : "false",
                        deviceId.c_str());
    return ok;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
