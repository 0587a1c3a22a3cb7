#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk {
namespace {

std::atomic<int> g_destroyed{0};

class Counted final : public RefCountable<IString> {
public:
    ~Counted() override { g_destroyed.fetch_add(1); }
    const char* str() const override { return "counted"; }
};

TEST(RefCountableConcurrency, ManyThreadsAddAndReleaseWithoutLossOrDoubleDelete) {
    g_destroyed = 0;
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    for (int trial = 0; trial < 20; ++trial) {
        auto* object = new Counted();
        std::vector<std::thread> threads;
        std::atomic<bool> start{false};
        for (int t = 0; t < kThreads; ++t) {
            object->addRef();  // each thread owns one reference and releases it last
            threads.emplace_back([&, t] {
                while (!start) std::this_thread::yield();
                for (int i = 0; i < kRounds; ++i) {
                    if ((i + t) % 3 == 0) {
                        Ptr<IString> copy = Ptr<IString>::share(object);
                        Ptr<IString> another = copy;
                        Ptr<IRefCountable> queried(
                            static_cast<IRefCountable*>(object->queryInterface(IRefCountable::interfaceId())));
                    } else {
                        object->addRef();
                        object->releaseRef();
                    }
                }
                object->releaseRef();
            });
        }
        start = true;
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(object->refCount(), 1);
        EXPECT_EQ(g_destroyed.load(), trial);
        EXPECT_EQ(object->releaseRef(), 0);
        EXPECT_EQ(g_destroyed.load(), trial + 1);
    }
}

TEST(RefCountableConcurrency, LastReleaseFromAnyThreadDeletesOnce) {
    g_destroyed = 0;
    for (int trial = 0; trial < 200; ++trial) {
        auto* object = new Counted();
        for (int t = 1; t < 4; ++t) object->addRef();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) threads.emplace_back([object] { object->releaseRef(); });
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(g_destroyed.load(), 200);
}

}  // namespace
}  // namespace qz::sdk
