#include "engine/registration_manager.h"

#include <nlohmann/json.hpp>

#include "common/ini.h"
#include "common/json_utils.h"
#include "common/log.h"
#include "common/text_utils.h"
#include "engine/json_fields.h"
#include "common/http_client.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::json;

HttpResponse sendToCloud(const std::string& method, const std::string& url, const std::string& token,
                         const std::atomic<bool>* cancel) {
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.headers = {{"User-Agent", RegistrationManager::userAgent()}, {"Authorization", token}};
    request.connectTimeout = request.idleTimeout = std::chrono::milliseconds(ini().HTTPRequestTimeout);
    request.totalTimeout = std::chrono::seconds(ini().HTTPRequestTotalTimeout);
    HttpCallbacks callbacks;
    callbacks.onTick = [cancel] { return !(cancel && cancel->load()); };
    return HttpClient().send(request, callbacks);
}

}  // namespace

RegistrationManager::RegistrationManager(qz::sdk::UtilityProvider provider, std::string baseUrl)
    : m_provider(std::move(provider)), m_baseUrl(std::move(baseUrl)) {
    while (!m_baseUrl.empty() && m_baseUrl.back() == '/') m_baseUrl.pop_back();
}

std::string RegistrationManager::userAgent() { return std::string("QZAI-Plugin/") + QZAI_PLUGIN_VERSION; }

bool RegistrationManager::checkCloudConnection() {
    const CloudConnectionState before = state.load();
    if (before == CloudConnectionState::Unset) state = CloudConnectionState::Checking;
    const bool hasToken = !m_provider.cloudToken().empty();
    state = hasToken ? CloudConnectionState::TokenObtained : CloudConnectionState::NoCloudToken;
    if (hasToken && before != CloudConnectionState::TokenObtained) {
        logMessage("Cloud token obtained.\n");
        return true;
    }
    if (!hasToken && before != CloudConnectionState::NoCloudToken) {
        logMessage("Notice: This system has no cloud token; frames are not processed until it is registered.\n");
    }
    return false;
}

std::optional<std::vector<AvailablePipeline_t>> RegistrationManager::fetchAvailablePipelines(
    const std::string& deviceId, const std::atomic<bool>* cancel) const {
    const std::string token = m_provider.cloudToken();
    if (token.empty()) return std::nullopt;
    const std::string url =
        m_baseUrl + "/system/" + percentEncoded(m_provider.cloudSystemId()) + "/device/" + percentEncoded(deviceId) +
        "/available-pipelines";
    const HttpResponse response = sendToCloud("GET", url, token, cancel);
    if (response.cancelled) return std::nullopt;
    if (response.status != 200 || !response.complete) {
        logMessage("Error! Could not fetch the available pipelines of %s (status %d%s%s).\n", deviceId.c_str(),
                   response.status, response.error.empty() ? "" : ": ", response.error.c_str());
        return std::nullopt;
    }
    auto pipelines = parseAvailablePipelines(response.body);
    if (!pipelines) logMessage("Error! The available pipelines of %s are not a JSON array.\n", deviceId.c_str());
    return pipelines;
}

bool RegistrationManager::resetDevice(const std::string& deviceId, const std::atomic<bool>* cancel) const {
    const std::string token = m_provider.cloudToken();
    if (token.empty()) return false;
    const std::string url =
        m_baseUrl + "/reset/" + percentEncoded(m_provider.cloudSystemId()) + "/device/" + percentEncoded(deviceId);
    const HttpResponse response = sendToCloud("POST", url, token, cancel);
    const bool ok = response.status >= 200 && response.status < 300;
    if (ok) logMessage("Reset the pipelines of device %s.\n", deviceId.c_str());
    else logMessage("Error! Could not reset device %s (status %d).\n", deviceId.c_str(), response.status);
    return ok;
}

std::optional<std::vector<AvailablePipeline_t>> parseAvailablePipelines(const std::string& text) {
    const json list = parseOutsideJson(text, "The cloud's list of available pipelines");
    if (!list.is_array()) return std::nullopt;
    std::vector<AvailablePipeline_t> pipelines;
    for (const auto& entry : list) {
        if (!entry.is_object()) continue;
        AvailablePipeline_t pipeline;
        pipeline.uuid = optionalText(entry, "uuid");
        if (pipeline.uuid.empty()) continue;
        if (pipeline.uuid == "Custom") {  // the id of the device's own pipeline
            logMessage("Warning! Leaving out the cloud pipeline with the id \"Custom\": that id chooses the "
                       "device's own pipeline.\n");
            continue;
        }
        pipeline.name = optionalText(entry, "name", pipeline.uuid);
        if (const auto p = entry.find("parameters"); p != entry.end()) {
            pipeline.parameters = p->is_string() ? p->get<std::string>() : p->dump();
        }
        pipelines.push_back(std::move(pipeline));
    }
    return pipelines;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
