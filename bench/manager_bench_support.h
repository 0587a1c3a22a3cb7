// What the inference manager benchmarks share: the process CPU clock the
// costs are read from, and a counter of one camera's packet deliveries that
// the pushing thread waits on. DeliveryCounter is thread-safe; its callback
// may be called from any worker while it lives.
#pragma once

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "inference/inference_types.h"

namespace manager_bench {

// CPU time used by every thread of this process so far, in microseconds.
inline double processCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

class DeliveryCounter {
public:
    qz::vms_server_plugins::analytics::qzai::InferenceResultCallback callback() {
        return [this](auto, auto, auto) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
            m_changed.notify_all();
        };
    }
    uint64_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    // True when the count reached `target` within the timeout.
    bool waitFor(uint64_t target, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_count >= target; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_count = 0;
};

}  // namespace manager_bench
