#include "inference/worker_semaphore.h"

#include <algorithm>
#include <utility>

namespace qz::vms_server_plugins::analytics::qzai {

WorkerSemaphore::WorkerSemaphore(int initial, int maximum)
    : m_maximum(std::max(0, maximum)), m_count(std::clamp(initial, 0, std::max(0, maximum))) {}

bool WorkerSemaphore::tryAcquire() {
    int current = m_count.load();
    while (current > 0) {
        if (m_count.compare_exchange_weak(current, current - 1)) return true;
    }
    return false;
}

void WorkerSemaphore::acquire() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_released.wait(lock, [this] { return tryAcquire(); });
}

void WorkerSemaphore::release() {
    // The count changes under the mutex so that a waiter between its check
    // and its wait cannot miss the wake-up.
    std::lock_guard<std::mutex> lock(m_mutex);
    int current = m_count.load();
    while (current < m_maximum) {
        if (m_count.compare_exchange_weak(current, current + 1)) break;
    }
    m_released.notify_one();
}

WorkerPermit WorkerPermit::tryTake(WorkerSemaphore& semaphore) {
    return semaphore.tryAcquire() ? WorkerPermit(&semaphore) : WorkerPermit();
}

WorkerPermit::WorkerPermit(WorkerPermit&& other) noexcept
    : m_semaphore(std::exchange(other.m_semaphore, nullptr)) {}

WorkerPermit& WorkerPermit::operator=(WorkerPermit&& other) noexcept {
    if (this != &other) {
        reset();
        m_semaphore = std::exchange(other.m_semaphore, nullptr);
    }
    return *this;
}

void WorkerPermit::reset() {
    if (WorkerSemaphore* semaphore = std::exchange(m_semaphore, nullptr)) semaphore->release();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
