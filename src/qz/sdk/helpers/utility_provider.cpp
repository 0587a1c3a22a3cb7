#include "qz/sdk/helpers/utility_provider.h"

#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

#include "qz/sdk/helpers/log.h"
#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/string.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qz::sdk {

namespace {

// Handlers alive are those made and not yet gone. A handler's last release
// posts `gone` as its very last act, so a waiter decides from these counts
// alone, never from how long ago a release happened.
struct LiveHandlers {
    LiveHandlers() { ::sem_init(&gone, 0, 0); }

    std::atomic<size_t> made{0};
    std::atomic<size_t> reaped{0};  // posts of `gone` taken by waiters
    sem_t gone;
    std::mutex waiter;  // one waiter takes posts at a time
};

LiveHandlers& liveHandlers() {
    static LiveHandlers handlers;
    return handlers;
}

#ifdef QZ_TEST_HANDLER_RELEASE_STALL_MS
// Only in a test build of the library: a releasing thread lingers at its last
// step in this library's code, as a host thread descheduled there would.
void stallBeforeLeaving() {
    std::this_thread::sleep_for(std::chrono::milliseconds(QZ_TEST_HANDLER_RELEASE_STALL_MS));
}
#else
void stallBeforeLeaving() {}
#endif

class RestRequestHandler final : public RefCountable<IRestRequestHandler> {
public:
    explicit RestRequestHandler(UtilityProvider::RestCompletion completion) : m_completion(std::move(completion)) {
        liveHandlers().made.fetch_add(1);
    }
    // The handler counts as gone only once the object and all it captured
    // are destroyed and its thread runs no more code of this library: the
    // post is a jump into the C library, whose sem_post returns 0 (the
    // remaining count) straight to the host. Once it has posted, the library
    // may be unmapped, so not one instruction of ours may run after it; on
    // x86-64 Linux a few lines of assembly make that so at every
    // optimisation level (releaseStep does the rest).
    int releaseRef() const override;

    struct Step {
        sem_t* post;     // to post last, or null
        long remaining;  // the count left, when nothing is posted
    };
    static Step releaseStep(const RestRequestHandler* self) noexcept {
        const int remaining = self->RefCountable<IRestRequestHandler>::releaseRef();
        if (remaining != 0) return {nullptr, remaining};
        sem_t* const gone = &liveHandlers().gone;
        stallBeforeLeaving();
        return {gone, 0};
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

}  // namespace qz::sdk

// The step before the final post, with a name the assembly below can call.
extern "C" __attribute__((visibility("hidden"), used)) qz::sdk::RestRequestHandler::Step
qzRestHandlerReleaseStep(const qz::sdk::RestRequestHandler* self) noexcept {
    return qz::sdk::RestRequestHandler::releaseStep(self);
}

namespace qz::sdk {

#if defined(__x86_64__) && defined(__linux__)
// releaseStep's two words come back in rax and rdx; with something to post,
// the post is jumped to, so sem_post returns to our caller, not to us. The
// stack adjustment (the call wants a 16-byte aligned stack) is told to the
// unwinder, so that a backtrace taken inside the release (a debugger, a
// profiler, a crash reporter) still finds our caller.
__attribute__((naked)) int RestRequestHandler::releaseRef() const {
    asm("sub $8, %rsp\n\t"
        ".cfi_adjust_cfa_offset 8\n\t"
        "call qzRestHandlerReleaseStep\n\t"
        "add $8, %rsp\n\t"
        ".cfi_adjust_cfa_offset -8\n\t"
        "test %rax, %rax\n\t"
        "jz 1f\n\t"
        "mov %rax, %rdi\n\t"
        "jmp sem_post@PLT\n"
        "1:\n\t"
        "mov %edx, %eax\n\t"
        "ret\n\t");
}
#else
// Elsewhere the post is left to the compiler's tail call.
int RestRequestHandler::releaseRef() const {
    const Step step = releaseStep(this);
    if (!step.post) return static_cast<int>(step.remaining);
    return ::sem_post(step.post);
}
#endif

size_t liveRestHandlers() {
    LiveHandlers& live = liveHandlers();
    int posted = 0;
    ::sem_getvalue(&live.gone, &posted);
    const size_t gone = live.reaped.load() + static_cast<size_t>(posted);
    const size_t made = live.made.load();
    return made > gone ? made - gone : 0;
}

bool waitForRestHandlersReleased(std::chrono::steady_clock::time_point deadline) {
    LiveHandlers& live = liveHandlers();
    std::lock_guard<std::mutex> lock(live.waiter);
    while (live.reaped.load() < live.made.load()) {
        // sem_timedwait takes a wall-clock time: each wait is a slice of at
        // most 100 ms, so a clock step cannot stretch the steady deadline.
        const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{});
        const auto slice = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(100));
        timespec until{};
        ::clock_gettime(CLOCK_REALTIME, &until);
        const long long nanoseconds = until.tv_nsec + slice.count();
        until.tv_sec += static_cast<time_t>(nanoseconds / 1'000'000'000);
        until.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
        if (::sem_timedwait(&live.gone, &until) == 0) {
            live.reaped.fetch_add(1);
        } else if ((errno != ETIMEDOUT && errno != EINTR) || left == std::chrono::steady_clock::duration{}) {
            return false;
        }
    }
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
