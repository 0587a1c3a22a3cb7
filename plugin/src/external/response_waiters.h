// Matching an external processor's responses to the workers that wait for
// them.
//
// A worker registers a waiter under the key of its frame (device id, "|",
// decimal timestamp) before it sends, then waits on the future. The
// processor's receive thread runs processorReceiveLoop: it reads the key of
// every response and hands the bytes, still in the transport's memory, to the
// oldest waiter of that key. The waiter's reader runs right there, on the
// receive thread, and only the value it returns reaches the future: the plain
// waiter's reader copies the bytes, a parsing reader copies out only what it
// keeps (an image's pixels go once from the transport into their own
// buffer). A reader is given a view that ends with its call, so nothing the
// worker gets can point into memory the transport reuses. The peer must not
// write that memory before the release; one that does gives a wrong or
// refused message, never a read outside the bytes, since every length is
// checked against them as it is read. Several waiters
// may share a key (the object crops of one frame sent to one processor);
// they queue, so a processor that answers in order is matched correctly. A
// ticket identifies one registration, so a worker that gives up removes only
// its own waiter.
//
// Thread-safety: every member of ProcessorResponseWaiters may be called from
// any thread; the mutex is held only for the map operations, and a reader
// runs after it is released.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

class ExternalProcess;

class ProcessorResponseWaiters {
public:
    struct Ticket {
        std::string key;
        uint64_t id = 0;
    };
    // One registration and the future its answer arrives on.
    template <class T>
    struct Awaiting {
        Ticket ticket;
        std::future<T> future;
    };
    using Waiter = Awaiting<std::vector<uint8_t>>;

    // Waits for a copy of the response's bytes.
    Waiter registerWaiter(const std::string& key);
    // Waits for what `read(std::span<const uint8_t>)` makes of the response:
    // a value that owns its data (the view is valid only during the call).
    // A reader that throws std::bad_alloc leaves the future broken
    // (std::future_error).
    template <class Read, class T = std::invoke_result_t<Read&, std::span<const uint8_t>>>
    Awaiting<T> registerReader(const std::string& key, Read read);
    // Drops the ticket's waiter when it is still pending.
    void removeWaiter(const Ticket& ticket);
    // Drops every pending waiter, and every later one as it registers: their
    // futures report a broken promise at once. For unloading.
    void cancelAll();
    // Gives the response to the oldest waiter of the key, whose reader runs
    // on the calling thread; bytes for no waiter are dropped.
    void fulfil(const std::string& key, std::span<const uint8_t> bytes);
    // Waiters still pending (for tests and diagnostics).
    size_t pending() const;

private:
    using Deliver = std::function<void(std::span<const uint8_t>)>;
    using Pending = std::deque<std::pair<uint64_t, Deliver>>;

    Ticket add(const std::string& key, Deliver deliver);

    mutable std::mutex m_mutex;
    std::map<std::string, Pending> m_waiters;
    uint64_t m_nextId = 0;
    bool m_cancelled = false;
};

template <class Read, class T>
ProcessorResponseWaiters::Awaiting<T> ProcessorResponseWaiters::registerReader(const std::string& key, Read read) {
    // Shared with the stored reader: dropping that reader unanswered (removal,
    // destruction, a failed read) breaks the promise.
    auto promise = std::make_shared<std::promise<T>>();
    Awaiting<T> waiter{{}, promise->get_future()};
    waiter.ticket = add(key, [promise, read = std::move(read)](std::span<const uint8_t> bytes) mutable {
        promise->set_value(read(bytes));
    });
    return waiter;
}

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
