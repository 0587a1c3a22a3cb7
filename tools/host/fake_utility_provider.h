// FakeUtilityProvider: the host's utility provider (IUtilityProvider2) for
// the plug-in: fixed identity texts and REST requests answered by a
// FakeServer. The cloud token can be changed while the plug-in runs (as when
// the server obtains one). Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/fake_server.h"
#include "qz/sdk/helpers/ref_countable.h"

namespace qz::test_host {

struct HostIdentity {
    std::string homeDir;
    std::string serverId = "{11111111-2222-3333-4444-555555555555}";
    std::string systemId = "{66666666-7777-8888-9999-aaaaaaaaaaaa}";
    std::string cloudSystemId = "cloud-system-1";
    std::string cloudToken = "cloud-token-1";
};

class FakeUtilityProvider final : public qz::sdk::RefCountable<qz::sdk::IUtilityProvider2> {
public:
    FakeUtilityProvider(HostIdentity identity, std::shared_ptr<FakeServer> server);

    void setCloudToken(std::string token);
    void setCloudSystemId(std::string id);

    int64_t vmsSystemTimeSinceEpochMs() const override;
    const qz::sdk::IString* homeDir() const override;
    const qz::sdk::IString* serverSdkVersion() const override;
    const qz::sdk::IString* serverId() const override;
    const qz::sdk::IString* systemId() const override;
    const qz::sdk::IString* cloudSystemId() const override;
    const qz::sdk::IString* cloudToken() const override;
    void sendRestRequest(const char* method, const char* path, const char* body,
        qz::sdk::IRestRequestHandler* handler) override;

private:
    mutable std::mutex m_mutex;
    HostIdentity m_identity;
    const std::shared_ptr<FakeServer> m_server;
};

}  // namespace qz::test_host
