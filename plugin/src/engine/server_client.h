// Client of the host server's REST API, reached through the utility
// provider's sendRestRequest.
//
// One process-wide mutex serialises the requests; each waits for its answer
// at most `HTTPRequestTimeout` milliseconds (and less when the given cancel
// flag is set), after which the late answer is ignored. The plug-in keeps its
// state under "parameters" -> "qzAI" of the server and device documents and
// writes it read-modify-write (docs/formats.md); a second process-wide mutex
// spans each read and write-back, so concurrent updates of one document keep
// each other's keys.
//
// Thread-safe; each request blocks its caller for at most the time-out (an
// update may first wait for another update to end).
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "qz/sdk/helpers/utility_provider.h"

namespace qz::vms_server_plugins::analytics::qzai {

class ServerClient {
public:
    struct Reply {
        bool ok = false;  // an answer arrived with a 2xx status
        int status = 0;
        std::string body;
    };

    ServerClient(qz::sdk::UtilityProvider provider, const std::atomic<bool>* cancel = nullptr);

    Reply request(const std::string& method, const std::string& path, const std::string& body = {}) const;

    // GET of a JSON document; empty (with a log line) when the request fails
    // or the body is not JSON.
    std::optional<nlohmann::json> getJson(const std::string& path) const;

    // Reads the document at `path`, lets `update` change its "qzAI" object
    // (created when absent) and PATCHes the whole "parameters" object back.
    bool updateQzAi(const std::string& path, const std::function<void(nlohmann::json& qzAI)>& update) const;

    std::optional<nlohmann::json> thisServer() const;
    // The devices of this server (a JSON array).
    std::optional<nlohmann::json> devices() const;
    bool setPluginEnabled(const std::string& deviceId, bool enabled) const;

    static std::string devicePath(const std::string& deviceId);

    const qz::sdk::UtilityProvider& provider() const { return m_provider; }

private:
    qz::sdk::UtilityProvider m_provider;
    const std::atomic<bool>* m_cancel;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
