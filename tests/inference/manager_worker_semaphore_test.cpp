#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "inference/worker_semaphore.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

TEST(WorkerSemaphore, CountsStayWithinZeroAndTheMaximum) {
    qzai::WorkerSemaphore semaphore(2, 3);
    EXPECT_TRUE(semaphore.tryAcquire());
    EXPECT_TRUE(semaphore.tryAcquire());
    EXPECT_FALSE(semaphore.tryAcquire());
    EXPECT_EQ(semaphore.count(), 0);
    for (int i = 0; i < 5; ++i) semaphore.release();
    EXPECT_EQ(semaphore.count(), 3);

    qzai::WorkerSemaphore none(0, 1024);
    EXPECT_FALSE(none.tryAcquire());
    qzai::WorkerSemaphore clamped(5000, 1024);
    EXPECT_EQ(clamped.count(), 1024);
}

TEST(WorkerSemaphore, PermitGivesItsPermitBackOnceWhereverItEnds) {
    qzai::WorkerSemaphore semaphore(1, 1);
    {
        qzai::WorkerPermit permit = qzai::WorkerPermit::tryTake(semaphore);
        ASSERT_TRUE(permit);
        EXPECT_FALSE(qzai::WorkerPermit::tryTake(semaphore));
        qzai::WorkerPermit moved = std::move(permit);
        EXPECT_FALSE(permit);
        EXPECT_EQ(semaphore.count(), 0);
    }
    EXPECT_EQ(semaphore.count(), 1);
}

TEST(WorkerSemaphore, AcquireWaitsForARelease) {
    qzai::WorkerSemaphore semaphore(0, 4);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        semaphore.acquire();
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired.load());
    semaphore.release();
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(semaphore.count(), 0);
}
