#include "inference/worker_pool.h"

#include <exception>

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

WorkerPool::WorkerPool(int maxThreads) : m_maxThreads(maxThreads > 0 ? static_cast<size_t>(maxThreads) : 0) {
    // Growing the list can then never fail after a thread was started.
    m_threads.reserve(m_maxThreads);
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

size_t WorkerPool::threadCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
}

void WorkerPool::submitJob(WorkerPermit permit, std::unique_ptr<Job> job) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_tasks.push_back(Task{std::move(permit), std::move(job)});
    if (m_waiting >= m_tasks.size()) {
        lock.unlock();
        m_wake.notify_one();
        return;
    }
    // Every thread is busy. With the permits taken before submit, a busy
    // thread holds one, so there is room for another thread; should there be
    // none, the task goes to the first thread that comes free.
    if (m_threads.size() >= m_maxThreads) return;
    ++m_waiting;  // the new thread takes the task as soon as the lock is free
    try {
        m_threads.emplace_back([this] { threadLoop(); });
    } catch (...) {
        --m_waiting;
        Task refused = std::move(m_tasks.back());
        m_tasks.pop_back();
        lock.unlock();
        refused.job.reset();
        refused.permit.reset();
        throw;
    }
}

void WorkerPool::threadLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_tasks.empty() || m_stopping; });
        if (m_tasks.empty()) {
            --m_waiting;
            return;
        }
        Task task = std::move(m_tasks.front());
        m_tasks.pop_front();
        --m_waiting;
        lock.unlock();
        try {
            task.job->run();
        } catch (const std::exception& e) {
            logMessage("Error! Worker failed: %s\n", e.what());
        } catch (...) {
            logMessage("Error! Worker failed with an unknown error.\n");
        }
        task.job.reset();
        lock.lock();
        // Idle before the permit goes back: whoever takes that permit next
        // finds this thread free instead of starting another.
        ++m_waiting;
        task.permit.reset();
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
