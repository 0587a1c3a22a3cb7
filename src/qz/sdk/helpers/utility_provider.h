// qz::sdk::UtilityProvider: the plug-in's view of the host's utility
// provider, with texts as std::string and REST completions as functions.
//
// Copyable; an empty one (no provider from the host yet) answers empty texts
// and completes every REST request at once with networkError. The home
// directory honours the unit-test option "homeDir". Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

class UtilityProvider {
public:
    // Called exactly once per request, possibly on a host thread.
    using RestCompletion = std::function<void(ErrorCode error, int httpStatus, const std::string& body)>;

    UtilityProvider() = default;
    explicit UtilityProvider(Ptr<IUtilityProvider> provider);

    bool isValid() const { return static_cast<bool>(m_provider); }

    int64_t vmsSystemTimeSinceEpochMs() const;
    std::string homeDir() const;
    std::string serverSdkVersion() const;
    std::string serverId() const;
    std::string systemId() const;
    std::string cloudSystemId() const;
    std::string cloudToken() const;

    void sendRestRequest(
        const std::string& method, const std::string& path, const std::string& body,
        RestCompletion completion) const;

private:
    Ptr<IUtilityProvider> m_provider;
    Ptr<IUtilityProvider2> m_provider2;  // null when the host offers only the first version
};

// The REST completion handlers this library handed to the host that the host
// has not released yet (process-wide). Their code lives in this library, so
// it must stay loaded while any is alive.
size_t liveRestHandlers();
// Waits until liveRestHandlers() is 0, at most until `deadline`; true when it
// is. A handler stops counting only after its releasing thread has run its
// last instruction of this library, so true means the library may go.
bool waitForRestHandlersReleased(std::chrono::steady_clock::time_point deadline);

}  // namespace qz::sdk
