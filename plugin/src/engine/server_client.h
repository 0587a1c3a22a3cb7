// Client of the host server's REST API, reached through the utility
// provider's sendRestRequest.
//
// One process-wide mutex serialises the requests; each waits for its answer
// at most `HTTPRequestTimeout` milliseconds (and less when the given cancel
// flag is set), after which the late answer is ignored. The plug-in keeps its
// state under "parameters" -> "qzAI" of the server and device documents and
// writes it read-then-merge-patch (docs/formats.md): the PATCH names only the
// keys of "qzAI" the plug-in changed, and "parameters" or "qzAI" held as JSON
// text stay text. A second process-wide mutex spans each read and write-back,
// so concurrent updates of one document keep each other's keys.
//
// Thread-safe; each request blocks its caller for at most the time-out (an
// update may first wait for another update to end).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "qz/sdk/helpers/utility_provider.h"

namespace qz::vms_server_plugins::analytics::qzai {

class ServerClient {
public:
    struct Reply {
        bool ok = false;  // an answer arrived with a 2xx status
        int status = 0;
        std::string body;
    };

    // Requests give up when `*cancel` is set, and never wait past `deadline`.
    ServerClient(qz::sdk::UtilityProvider provider, const std::atomic<bool>* cancel = nullptr,
                 std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

    Reply request(const std::string& method, const std::string& path, const std::string& body = {}) const;

    // GET of a JSON document; empty (with a log line) when the request fails,
    // the body is not JSON or it nests deeper than `maxDepth`.
    std::optional<nlohmann::json> getJson(const std::string& path, size_t maxDepth = kMaxJsonDepth) const;

    // Reads the document at `path`, lets `update` change its "qzAI" object
    // (empty when absent) and PATCHes what changed back (qzAiMergePatch). A
    // document whose "parameters" or "qzAI" is neither an object nor a text
    // holding one is left alone (false, with a log line); no change sends
    // nothing (true).
    bool updateQzAi(const std::string& path, const std::function<void(nlohmann::json& qzAI)>& update) const;

    std::optional<nlohmann::json> thisServer() const;
    // The devices of this server (a JSON array). Each device may nest as deep
    // as any document; callers check a device before copying it.
    std::optional<nlohmann::json> devices() const;
    bool setPluginEnabled(const std::string& deviceId, bool enabled) const;

    static std::string devicePath(const std::string& deviceId);

    const qz::sdk::UtilityProvider& provider() const { return m_provider; }

private:
    qz::sdk::UtilityProvider m_provider;
    const std::atomic<bool>* m_cancel;
    std::chrono::steady_clock::time_point m_deadline;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
