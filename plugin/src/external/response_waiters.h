// Matching an external processor's responses to the workers that wait for
// them.
//
// A worker registers a waiter under the key of its frame (device id, "|",
// decimal timestamp) before it sends, then waits on the future. The
// processor's receive thread runs processorReceiveLoop: it reads the key of
// every response and fulfils the oldest waiter of that key with a copy of
// the bytes. Several waiters may share a key (the object crops of one frame
// sent to one processor); they queue, so a processor that answers in order
// is matched correctly. A ticket identifies one registration, so a worker
// that gives up removes only its own waiter.
//
// Thread-safety: every member of ProcessorResponseWaiters may be called from
// any thread; the mutex is held only for the map operations and a promise is
// fulfilled after it is released.
#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

class ExternalProcess;

class ProcessorResponseWaiters {
public:
    struct Ticket {
        std::string key;
        uint64_t id = 0;
    };
    struct Waiter {
        Ticket ticket;
        std::future<std::vector<uint8_t>> future;
    };

    Waiter registerWaiter(const std::string& key);
    // Drops the ticket's waiter when it is still pending.
    void removeWaiter(const Ticket& ticket);
    // Fulfils the oldest waiter of the key; bytes for no waiter are dropped.
    void fulfil(const std::string& key, std::vector<uint8_t> bytes);
    // Waiters still pending (for tests and diagnostics).
    size_t pending() const;

private:
    using Pending = std::deque<std::pair<uint64_t, std::promise<std::vector<uint8_t>>>>;

    mutable std::mutex m_mutex;
    std::map<std::string, Pending> m_waiters;
    uint64_t m_nextId = 0;
};

std::string makeProcessorResponseKey(const std::string& deviceId, int64_t timestamp);

// The key of a response: its root "Timestamp" (signed 64-bit) and "DeviceID"
// (empty when not a str). Nothing when the bytes are no MessagePack map or
// "Timestamp" is missing or out of range.
std::optional<std::string> readProcessorResponseKey(std::span<const uint8_t> bytes);

// The body of a processor's receive thread: hands every response to its
// waiter until stop is requested or the child process has exited (then one
// last look takes a response written just before the end). A stop request
// cancels the receive in progress, so stopping takes at most about 100 ms
// whatever `timeoutMs`. Each receive waits at least 1 ms.
void processorReceiveLoop(std::stop_token token, ExternalProcess* process, ProcessorResponseWaiters* waiters,
                          uint32_t timeoutMs, std::string processorName);

}  // namespace qz::vms_server_plugins::analytics::qzai
