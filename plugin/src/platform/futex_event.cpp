#include "platform/futex_event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// A cancellable wait sleeps at most this long at a time, so that a cancel
// whose wake-up came just before the sleep began is still seen promptly.
constexpr int64_t kCancelSliceMs = 50;

long futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

std::atomic_ref<uint32_t> atomicWord(uint32_t* word) { return std::atomic_ref<uint32_t>(*word); }

}  // namespace

bool futexEventSet(uint32_t* word) {
    atomicWord(word).store(1, std::memory_order_release);
    return futex(word, FUTEX_WAKE, INT_MAX, nullptr) >= 0;
}

void futexEventWakeLocal(uint32_t* word) { futex(word, FUTEX_WAKE, INT_MAX, nullptr); }

FutexWaitResult futexEventWait(uint32_t* word, int64_t timeoutMs, const std::atomic<bool>* cancel) {
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeoutMs < 0;
    // Deadlines saturate: a time-out of decades is still far below the clock's range.
    const int64_t boundedMs = std::min<int64_t>(std::max<int64_t>(timeoutMs, 0), int64_t{1} << 40);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(boundedMs);
    for (;;) {
        if (atomicWord(word).exchange(0, std::memory_order_acq_rel) == 1) return FutexWaitResult::Set;
        if (cancel != nullptr && cancel->load(std::memory_order_acquire)) return FutexWaitResult::Cancelled;
        int64_t sliceMs = -1;
        if (!unlimited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return FutexWaitResult::TimedOut;
            sliceMs = left;
        }
        if (cancel != nullptr) sliceMs = sliceMs < 0 ? kCancelSliceMs : std::min(sliceMs, kCancelSliceMs);
        timespec ts{};
        const timespec* tsp = nullptr;
        if (sliceMs >= 0) {
            ts.tv_sec = static_cast<time_t>(sliceMs / 1000);
            ts.tv_nsec = static_cast<long>(sliceMs % 1000) * 1'000'000;
            tsp = &ts;
        }
        // The relative time-out of FUTEX_WAIT runs on the monotonic clock.
        // EAGAIN (the word is no longer 0), EINTR and ETIMEDOUT all loop back.
        futex(word, FUTEX_WAIT, 0, tsp);
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
