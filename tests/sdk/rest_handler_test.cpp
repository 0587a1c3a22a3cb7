// The REST completion handlers the plug-in hands to the host.
#include <gtest/gtest.h>
#include <unwind.h>

#include <memory>

#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/utility_provider.h"
#include "sdk/support/log_capture.h"

namespace qz::sdk {
namespace {

// A host that keeps every handler it is given until the test lets go.
class KeepingProvider final : public RefCountable<IUtilityProvider2> {
public:
    int64_t vmsSystemTimeSinceEpochMs() const override { return 0; }
    const IString* homeDir() const override { return nullptr; }
    const IString* serverSdkVersion() const override { return nullptr; }
    const IString* serverId() const override { return nullptr; }
    const IString* systemId() const override { return nullptr; }
    const IString* cloudSystemId() const override { return nullptr; }
    const IString* cloudToken() const override { return nullptr; }
    void sendRestRequest(const char*, const char*, const char*, IRestRequestHandler* handler) override {
        held.push_back(Ptr<IRestRequestHandler>::share(handler));
    }
    std::vector<Ptr<IRestRequestHandler>> held;
};

TEST(RestRequestHandler, CompletesOnceAndCountsAsLiveUntilTheHostLetsGo) {
    test::LogCapture log;
    auto host = makePtr<KeepingProvider>();
    UtilityProvider provider(host);
    const size_t before = liveRestHandlers();
    int calls = 0;
    provider.sendRestRequest("GET", "/x", "", [&](ErrorCode, int status, const std::string& body) {
        ++calls;
        EXPECT_EQ(status, 200);
        EXPECT_EQ(body, "first");
    });
    ASSERT_EQ(host->held.size(), 1u);
    EXPECT_EQ(liveRestHandlers(), before + 1);

    host->held[0]->onCompleted(ErrorCode::noError, 200, "first");
    host->held[0]->onCompleted(ErrorCode::noError, 500, "second");  // a host calling twice
    EXPECT_EQ(calls, 1);
    EXPECT_NE(log.text().find("called more than once"), std::string::npos);

    // Still held after completing: the library must not leave yet.
    EXPECT_FALSE(waitForRestHandlersReleased(std::chrono::steady_clock::now()));
    host->held.clear();
    EXPECT_EQ(liveRestHandlers(), before);
    EXPECT_TRUE(waitForRestHandlersReleased(std::chrono::steady_clock::now()));
}

// The host letting go of its last reference in a frame of its own: not
// inlined, and no tail call.
__attribute__((noinline)) int releaseAsTheHost(IRestRequestHandler* handler) {
    const int remaining = handler->releaseRef();
    asm volatile("" ::: "memory");
    return remaining;
}

TEST(RestRequestHandler, ABacktraceInItsDestructionReachesTheReleasingCaller) {
    // A debugger, profiler or crash reporter walking the stack inside the
    // release must find the host's frame above it.
    struct Seeker {
        bool* found;
        ~Seeker() {
            auto step = [](_Unwind_Context* context, void* found) {
                const auto ip = reinterpret_cast<void*>(_Unwind_GetIP(context) - 1);
                if (_Unwind_FindEnclosingFunction(ip) == reinterpret_cast<void*>(&releaseAsTheHost))
                    *static_cast<bool*>(found) = true;
                return _URC_NO_REASON;
            };
            _Unwind_Backtrace(step, found);
        }
    };
    auto host = makePtr<KeepingProvider>();
    UtilityProvider provider(host);
    bool found = false;
    provider.sendRestRequest("GET", "/x", "", [seeker = std::make_shared<Seeker>(&found)](ErrorCode, int, const std::string&) {});
    ASSERT_EQ(host->held.size(), 1u);
    EXPECT_EQ(releaseAsTheHost(host->held[0].releasePtr()), 0);
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace qz::sdk
