// An auto-reset event held in one 32-bit word of shared memory, woken with the
// futex system call.
//
// The word is 1 while the event is set and 0 otherwise. set() stores 1 and
// wakes the waiters; wait() takes the event (swaps the word back to 0), so
// several sets before one wait collapse into one, and one set releases one
// wait. The shared (not process-private) futex is used, since the two ends
// map the page at different addresses. wakeLocal() wakes waiters without
// setting the event, so that a waiter can re-check its cancel flag.
// The word must be 4-aligned and stay mapped while any call runs. All
// functions are thread-safe and may be used from several processes.
#pragma once

#include <atomic>
#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

enum class FutexWaitResult { Set, TimedOut, Cancelled };

// False when the wake-up call fails (the word is set either way).
bool futexEventSet(uint32_t* word);

// Waits until the event is set (and takes it) or `timeoutMs` passes; a
// negative time-out means no limit, 0 only looks. When `cancel` is given, the
// wait ends with Cancelled soon after it turns true (within 50 ms, at once
// after a wakeLocal()).
FutexWaitResult futexEventWait(uint32_t* word, int64_t timeoutMs, const std::atomic<bool>* cancel = nullptr);

void futexEventWakeLocal(uint32_t* word);

}  // namespace qz::vms_server_plugins::analytics::qzai
