// The worker pool under the permits that admit its jobs. Run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "inference/worker_pool.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

// A pool thread that ran a job counts itself here when it ends.
std::atomic<int> gEndedThreads{0};
struct EndMark {
    bool armed = false;
    ~EndMark() { gEndedThreads += armed; }
};
thread_local EndMark tEndMark;

}  // namespace

TEST(WorkerPoolConcurrency, AFloodRunsEachAdmittedJobOnceOnAtMostNThreads) {
    qzai::WorkerSemaphore permits(3, 3);
    qzai::WorkerPool pool(3);
    std::atomic<int> admitted{0}, ran{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < 8; ++s) {
        senders.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                if (qzai::WorkerPermit permit = qzai::WorkerPermit::tryTake(permits)) {
                    ++admitted;
                    pool.submit(std::move(permit), [&] { ++ran; });
                }
            }
        });
    }
    for (auto& sender : senders) sender.join();
    for (int i = 0; i < 3; ++i) permits.acquire();  // as waitForWorkers does
    EXPECT_EQ(ran.load(), admitted.load());
    EXPECT_LE(pool.threadCount(), 3u);
}

// A job held in its body, or while what it captured is destroyed, keeps its
// permit; the pool destroyed meanwhile returns only after the job is gone
// and its thread has ended.
TEST(WorkerPoolConcurrency, AJobKeepsItsPermitUntilItsCapturesAreGoneAndDestructionWaitsForIt) {
    for (const bool holdInBody : {true, false}) {
        SCOPED_TRACE(holdInBody ? "held in its body" : "held while its captures are destroyed");
        qzai::WorkerSemaphore permits(2, 2);
        auto pool = std::make_unique<qzai::WorkerPool>(2);
        std::latch held(1), letGo(1), destroying(1);
        std::atomic<bool> gone{false};
        auto hold = [&] { held.count_down(), letGo.wait(); };
        std::shared_ptr<void> capture(nullptr, [&](void*) {
            if (!holdInBody) hold();
            gone = true;
        });
        pool->submit(qzai::WorkerPermit::tryTake(permits), [&, capture = std::move(capture)] {
            tEndMark.armed = true;
            if (holdInBody) hold();
        });
        held.wait();
        EXPECT_EQ(permits.count(), 1);

        const int endedBefore = gEndedThreads.load();
        bool goneWhenDestroyed = false;
        int endedWhenDestroyed = 0;
        std::thread destroyer([&] {
            destroying.count_down();
            pool.reset();
            goneWhenDestroyed = gone.load(), endedWhenDestroyed = gEndedThreads.load() - endedBefore;
        });
        destroying.wait();
        letGo.count_down();
        destroyer.join();
        EXPECT_TRUE(goneWhenDestroyed);
        EXPECT_EQ(endedWhenDestroyed, 1);
        EXPECT_EQ(permits.count(), 2);
    }
}
