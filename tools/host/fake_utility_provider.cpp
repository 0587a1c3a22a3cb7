#include "host/fake_utility_provider.h"

#include <chrono>
#include <utility>

#include "qz/sdk/helpers/string.h"

namespace qz::test_host {

using qz::sdk::IString;
using qz::sdk::newString;

FakeUtilityProvider::FakeUtilityProvider(HostIdentity identity, std::shared_ptr<FakeServer> server)
    : m_identity(std::move(identity)), m_server(std::move(server)) {}

void FakeUtilityProvider::setCloudToken(std::string token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_identity.cloudToken = std::move(token);
}

void FakeUtilityProvider::setCloudSystemId(std::string id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_identity.cloudSystemId = std::move(id);
}

int64_t FakeUtilityProvider::vmsSystemTimeSinceEpochMs() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

const IString* FakeUtilityProvider::homeDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return newString(m_identity.homeDir);
}

const IString* FakeUtilityProvider::serverSdkVersion() const { return newString("1.0.0"); }

const IString* FakeUtilityProvider::serverId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return newString(m_identity.serverId);
}

const IString* FakeUtilityProvider::systemId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return newString(m_identity.systemId);
}

const IString* FakeUtilityProvider::cloudSystemId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return newString(m_identity.cloudSystemId);
}

const IString* FakeUtilityProvider::cloudToken() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return newString(m_identity.cloudToken);
}

void FakeUtilityProvider::sendRestRequest(
    const char* method, const char* path, const char* body, qz::sdk::IRestRequestHandler* handler) {
    RestRequest request{method ? method : "", path ? path : "", body ? body : ""};
    m_server->sendAsync(std::move(request), qz::sdk::Ptr<qz::sdk::IRestRequestHandler>::share(handler));
}

}  // namespace qz::test_host
