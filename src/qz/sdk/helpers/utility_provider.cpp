#include "qz/sdk/helpers/utility_provider.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "qz/sdk/helpers/log.h"
#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/string.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qz::sdk {

namespace {

struct LiveHandlers {
    std::mutex mutex;
    std::condition_variable released;
    size_t count = 0;
    std::chrono::steady_clock::time_point lastRelease;  // when the count last dropped
};

// How long a waiter leaves a releasing thread to return out of this library
// after the count dropped: it then runs only the last few instructions of
// releaseRef, but a loaded machine may preempt it there.
constexpr auto kReleaseGrace = std::chrono::milliseconds(50);

LiveHandlers& liveHandlers() {
    static LiveHandlers handlers;
    return handlers;
}

void handlerGone() {
    LiveHandlers& live = liveHandlers();
    std::lock_guard<std::mutex> lock(live.mutex);
    --live.count;
    live.lastRelease = std::chrono::steady_clock::now();
    live.released.notify_all();
}

class RestRequestHandler final : public RefCountable<IRestRequestHandler> {
public:
    explicit RestRequestHandler(UtilityProvider::RestCompletion completion) : m_completion(std::move(completion)) {
        std::lock_guard<std::mutex> lock(liveHandlers().mutex);
        ++liveHandlers().count;
    }
    // The count drops only after the object and all it captured are gone,
    // so a waiter that sees zero has nothing of the handler left but the
    // return from this function.
    int releaseRef() const override {
        const int remaining = RefCountable<IRestRequestHandler>::releaseRef();
        if (remaining == 0) handlerGone();
        return remaining;
    }

    void onCompleted(ErrorCode error, int httpStatus, const char* body) override {
        if (m_called.exchange(true)) {
            sdkLog(logPrefix(), "IRestRequestHandler::onCompleted called more than once; ignored");
            return;
        }
        if (m_completion) m_completion(error, httpStatus, body ? body : "");
    }

private:
    UtilityProvider::RestCompletion m_completion;
    std::atomic<bool> m_called{false};
};

}  // namespace

size_t liveRestHandlers() {
    std::lock_guard<std::mutex> lock(liveHandlers().mutex);
    return liveHandlers().count;
}

bool waitForRestHandlersReleased(std::chrono::steady_clock::time_point deadline) {
    LiveHandlers& live = liveHandlers();
    std::unique_lock<std::mutex> lock(live.mutex);
    if (!live.released.wait_until(lock, deadline, [&] { return live.count == 0; })) return false;
    const auto graceEnd = live.lastRelease + kReleaseGrace;
    lock.unlock();
    if (std::chrono::steady_clock::now() < graceEnd) std::this_thread::sleep_until(graceEnd);
    return true;
}

UtilityProvider::UtilityProvider(Ptr<IUtilityProvider> provider) : m_provider(std::move(provider)) {
    if (m_provider) m_provider2 = queryInterfacePtr<IUtilityProvider2>(m_provider.get());
}

int64_t UtilityProvider::vmsSystemTimeSinceEpochMs() const {
    return m_provider ? m_provider->vmsSystemTimeSinceEpochMs() : 0;
}

std::string UtilityProvider::homeDir() const {
    std::string overridden = unitTestOption(kUnitTestOptionHomeDir);
    if (!overridden.empty()) return overridden;
    return m_provider ? takeString(m_provider->homeDir()) : std::string();
}

std::string UtilityProvider::serverSdkVersion() const {
    return m_provider ? takeString(m_provider->serverSdkVersion()) : std::string();
}

std::string UtilityProvider::serverId() const { return m_provider2 ? takeString(m_provider2->serverId()) : ""; }
std::string UtilityProvider::systemId() const { return m_provider2 ? takeString(m_provider2->systemId()) : ""; }
std::string UtilityProvider::cloudSystemId() const {
    return m_provider2 ? takeString(m_provider2->cloudSystemId()) : "";
}
std::string UtilityProvider::cloudToken() const { return m_provider2 ? takeString(m_provider2->cloudToken()) : ""; }

void UtilityProvider::sendRestRequest(
    const std::string& method, const std::string& path, const std::string& body, RestCompletion completion) const {
    if (!m_provider2) {
        sdkLog(logPrefix(), "sendRestRequest %s %s: the host offers no REST requests", method.c_str(), path.c_str());
        if (completion) completion(ErrorCode::networkError, 0, "");
        return;
    }
    Ptr<RestRequestHandler> handler = makePtr<RestRequestHandler>(std::move(completion));
    m_provider2->sendRestRequest(method.c_str(), path.c_str(), body.c_str(), handler.get());
}

}  // namespace qz::sdk
