// The worker pool under the permits that admit its jobs: a flood of jobs
// from many threads, the moment a job's permit comes back, and destruction
// while a job still runs. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "inference/worker_pool.h"
#include "inference/worker_semaphore.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

// A one-way flag that threads wait on.
class Signal {
public:
    void set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_set = true;
        m_changed.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_set; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set = false;
};

// Takes every permit once, as the manager's waitForWorkers does.
void takeAndReturnAll(qzai::WorkerSemaphore& permits, int n) {
    for (int i = 0; i < n; ++i) permits.acquire();
    for (int i = 0; i < n; ++i) permits.release();
}

// Counts the pool threads that have ended: each job leaves one of these in
// its thread, destroyed when the thread exits.
std::atomic<int> gExitedThreads{0};
struct ThreadExitMark {
    bool armed = false;
    ~ThreadExitMark() {
        if (armed) gExitedThreads.fetch_add(1);
    }
};
thread_local ThreadExitMark tExitMark;

}  // namespace

TEST(WorkerPoolConcurrency, AFloodRunsEveryAdmittedJobOnceOnAtMostNThreads) {
    constexpr int kPermits = 3;
    constexpr int kSenders = 8;
    constexpr int kOffersEach = 300;
    qzai::WorkerSemaphore permits(kPermits, kPermits);
    qzai::WorkerPool pool(kPermits);
    std::atomic<int> admitted{0}, ran{0}, running{0}, mostRunning{0};

    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&] {
            for (int i = 0; i < kOffersEach; ++i) {
                qzai::WorkerPermit permit = qzai::WorkerPermit::tryTake(permits);
                if (!permit) continue;  // refused, as the manager refuses a frame
                admitted.fetch_add(1);
                pool.submit(std::move(permit), [&] {
                    const int now = running.fetch_add(1) + 1;
                    int seen = mostRunning.load();
                    while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
                    }
                    std::this_thread::yield();
                    running.fetch_sub(1);
                    ran.fetch_add(1);
                });
            }
        });
    }
    for (auto& sender : senders) sender.join();
    takeAndReturnAll(permits, kPermits);

    EXPECT_GT(admitted.load(), 0);
    EXPECT_EQ(ran.load(), admitted.load());
    EXPECT_LE(mostRunning.load(), kPermits);
    EXPECT_LE(pool.threadCount(), static_cast<size_t>(kPermits));
    EXPECT_EQ(permits.count(), kPermits);
}

// Whether the job is held in its body or while what it captured is being
// destroyed, its permit is still taken, and a waiter for every permit
// returns only after the job and its captures are gone.
TEST(WorkerPoolConcurrency, APermitComesBackOnlyAfterTheJobAndWhatItHeldAreGone) {
    struct Case {
        const char* name;
        bool holdInBody;
    };
    for (const Case& c : {Case{"held in its body", true}, Case{"held while its captures are destroyed", false}}) {
        SCOPED_TRACE(c.name);
        constexpr int kPermits = 2;
        qzai::WorkerSemaphore permits(kPermits, kPermits);
        qzai::WorkerPool pool(kPermits);
        Signal held, letGo;
        std::atomic<bool> gone{false};
        // Marks `gone` when destroyed, after waiting for `letGo` if the case
        // holds the job there.
        struct Capture {
            Capture(Signal& h, Signal& l, std::atomic<bool>& g, bool hold)
                : held(h), letGo(l), gone(g), holdHere(hold) {}
            ~Capture() {
                if (holdHere) {
                    held.set();
                    letGo.wait();
                }
                gone.store(true);
            }
            Signal& held;
            Signal& letGo;
            std::atomic<bool>& gone;
            bool holdHere;
        };
        auto capture = std::make_unique<Capture>(held, letGo, gone, !c.holdInBody);
        pool.submit(qzai::WorkerPermit::tryTake(permits), [&, capture = std::move(capture), c] {
            if (c.holdInBody) {
                held.set();
                letGo.wait();
            }
        });
        held.wait();
        EXPECT_EQ(permits.count(), kPermits - 1);

        std::atomic<bool> goneWhenWaitEnded{false};
        std::thread waiter([&] {
            takeAndReturnAll(permits, kPermits);
            goneWhenWaitEnded = gone.load();
        });
        letGo.set();
        waiter.join();
        EXPECT_TRUE(goneWhenWaitEnded.load());
    }
}

// The pool is destroyed with idle threads, or while its one thread runs a
// job: the destructor lets the job finish and returns only when every
// thread has ended.
TEST(WorkerPoolConcurrency, DestructionWaitsForTheRunningJobAndEndsEveryThread) {
    struct Case {
        const char* name;
        int idleThreads;
        bool heldJob;
    };
    for (const Case& c : {Case{"three idle threads", 3, false}, Case{"one thread running a job", 0, true}}) {
        SCOPED_TRACE(c.name);
        constexpr int kPermits = 4;
        qzai::WorkerSemaphore permits(kPermits, kPermits);
        auto pool = std::make_unique<qzai::WorkerPool>(kPermits);
        const int exitedBefore = gExitedThreads.load();

        // Jobs held together until all are in leave that many threads idle.
        Signal allIn, releaseAll;
        std::atomic<int> inside{0};
        for (int i = 0; i < c.idleThreads; ++i) {
            pool->submit(qzai::WorkerPermit::tryTake(permits), [&] {
                tExitMark.armed = true;
                if (inside.fetch_add(1) + 1 == c.idleThreads) allIn.set();
                releaseAll.wait();
            });
        }
        if (c.idleThreads > 0) allIn.wait();
        releaseAll.set();
        takeAndReturnAll(permits, kPermits);

        Signal held, letGo;
        std::atomic<bool> finished{!c.heldJob};
        if (c.heldJob) {
            pool->submit(qzai::WorkerPermit::tryTake(permits), [&] {
                tExitMark.armed = true;
                held.set();
                letGo.wait();
                finished = true;
            });
            held.wait();
        }
        const size_t threads = pool->threadCount();

        Signal destroying;
        std::atomic<bool> finishedWhenDestroyed{false};
        std::atomic<int> exitedWhenDestroyed{0};
        std::thread destroyer([&] {
            destroying.set();
            pool.reset();
            finishedWhenDestroyed = finished.load();
            exitedWhenDestroyed = gExitedThreads.load() - exitedBefore;
        });
        destroying.wait();
        letGo.set();
        destroyer.join();
        EXPECT_EQ(threads, static_cast<size_t>(std::max(c.idleThreads, c.heldJob ? 1 : 0)));
        EXPECT_TRUE(finishedWhenDestroyed.load());
        EXPECT_EQ(exitedWhenDestroyed.load(), static_cast<int>(threads));
        EXPECT_EQ(permits.count(), kPermits);
    }
}
