// WorkerSemaphore: the counting semaphore that bounds the input and output
// workers of the inference manager.
//
// tryAcquire never waits: it retries its compare-and-swap while the count is
// positive, so it fails only when no permit is free (unlike
// std::counting_semaphore::try_acquire, which may fail spuriously). acquire
// waits on a mutex and condition variable, which ThreadSanitizer can see
// (a futex wait is opaque to it). release adds one permit, never beyond the
// maximum, and wakes one waiter. All operations are thread-safe.
//
// WorkerPermit owns one permit and gives it back when destroyed; the worker
// pool gives a job's permit back only after the job and everything it held
// are gone (worker_pool.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace qz::vms_server_plugins::analytics::qzai {

class WorkerSemaphore {
public:
    WorkerSemaphore(int initial, int maximum);

    WorkerSemaphore(const WorkerSemaphore&) = delete;
    WorkerSemaphore& operator=(const WorkerSemaphore&) = delete;

    bool tryAcquire();
    void acquire();
    void release();

    int count() const { return m_count.load(); }

private:
    const int m_maximum;
    std::atomic<int> m_count;
    std::mutex m_mutex;
    std::condition_variable m_released;
};

class WorkerPermit {
public:
    WorkerPermit() = default;
    // Takes a permit without waiting; the result is empty when none was free.
    static WorkerPermit tryTake(WorkerSemaphore& semaphore);

    WorkerPermit(WorkerPermit&& other) noexcept;
    WorkerPermit& operator=(WorkerPermit&& other) noexcept;
    WorkerPermit(const WorkerPermit&) = delete;
    WorkerPermit& operator=(const WorkerPermit&) = delete;
    ~WorkerPermit() { reset(); }

    explicit operator bool() const { return m_semaphore != nullptr; }
    // Gives the permit back now.
    void reset();

private:
    explicit WorkerPermit(WorkerSemaphore* semaphore) : m_semaphore(semaphore) {}
    WorkerSemaphore* m_semaphore = nullptr;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
