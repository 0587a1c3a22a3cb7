// Matching an external processor's responses to the workers that wait for
// them.
//
// A worker sends its request through sendRequest, which registers a waiter
// under the key of its frame (device id, "|", decimal timestamp) and sends as
// one step, then waits on the future. The processor's receive thread runs
// processorReceiveLoop: it reads the key of every response and hands the
// bytes, still in the transport's memory, to the oldest waiter of that key.
// The waiter's reader runs right there, on the receive thread, and only the
// value it returns reaches the future: the plain waiter's reader copies the
// bytes, a parsing reader copies out only what it keeps (an image's pixels go
// once from the transport into their own buffer). A reader is given a view
// that ends with its call, so nothing the worker gets can point into memory
// the transport reuses. The peer must not write that memory before the
// release; one that does gives a wrong or refused message, never a read
// outside the bytes, since every length is checked against them as it is
// read.
//
// Several requests may share a key (the object crops of one frame sent to
// one processor, or two stages of one frame). Their answers carry nothing
// else to tell them apart, so a key's waiters queue in the order their
// requests were sent and a processor that answers in order is matched
// correctly:
// - A worker that gives up waiting (removeWaiter) keeps its place: the
//   answer to its request, when it comes, is taken and dropped, never handed
//   to the next request of the key.
// - A failed send leaves it unknown whether the processor got the request
//   (an acknowledgement too late, a frame partly written), so the key is
//   closed: the answers already queued for are still handed out, every later
//   answer of the key is dropped, and later requests of the key are not sent.
// Keys whose every request was given up stay only until their answers come,
// and at most kMaxIdleKeys of them (the oldest go first), so a processor that
// never answers costs bounded memory.
//
// Thread-safety: every member of ProcessorResponseWaiters may be called from
// any thread; the map's mutex is held only for the map operations, and a
// reader runs after it is released. sendRequest holds a second mutex, the
// turn to send, across the send.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
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
    using Deadline = std::chrono::steady_clock::time_point;
    // True when the request was delivered.
    using Send = std::function<bool()>;

    // Keys kept whose every request was given up (see above).
    static constexpr size_t kMaxIdleKeys = 1024;

    // Registers a waiter under `key` and sends the request with `send`, as
    // one step: requests of one processor are sent one at a time, in the
    // order their waiters queue. Nothing when the turn to send did not come
    // by `deadline`, when the key is closed, or when `send` failed (which
    // closes the key). The waiter copies the response's bytes, or hands on
    // what `read(std::span<const uint8_t>)` makes of them: a value that owns
    // its data (the view is valid only during the call). A reader that
    // throws std::bad_alloc leaves the future broken (std::future_error).
    std::optional<Waiter> sendRequest(const std::string& key, Deadline deadline, const Send& send);
    template <class Read, class T = std::invoke_result_t<Read&, std::span<const uint8_t>>>
    std::optional<Awaiting<T>> sendRequest(const std::string& key, Deadline deadline, const Send& send, Read read);
    // Registers without sending, for a caller that sends the request itself
    // right after (a test); the waiter queues behind those of its key
    // registered before. Broken at once when the key is closed.
    Waiter registerWaiter(const std::string& key);
    template <class Read, class T = std::invoke_result_t<Read&, std::span<const uint8_t>>>
    Awaiting<T> registerReader(const std::string& key, Read read);
    // The ticket's worker stops waiting: its future breaks, and the next
    // answer that would have been its own is dropped when it comes.
    void removeWaiter(const Ticket& ticket);
    // Drops every pending waiter, and every later one as it registers: their
    // futures report a broken promise at once. For unloading.
    void cancelAll();
    // Gives the response to the oldest waiter of the key, whose reader runs
    // on the calling thread; bytes for no waiter are dropped.
    void fulfil(const std::string& key, std::span<const uint8_t> bytes);
    // Waiters still pending, and keys held in all (with those whose answers
    // are only awaited to be dropped), for tests and diagnostics.
    size_t pending() const;
    size_t keysHeld() const;

private:
    using Deliver = std::function<void(std::span<const uint8_t>)>;
    struct Entry {
        uint64_t id = 0;
        Deliver deliver;  // empty once its worker gave up
    };
    struct Queue {
        std::deque<Entry> entries;  // in send order
        size_t live = 0;            // entries whose worker still waits
        bool closed = false;        // a send failed: later answers are dropped
        uint64_t idleSince = 0;     // when it last lost its last live entry; 0: live
    };
    using Queues = std::map<std::string, Queue>;

    template <class Read, class T = std::invoke_result_t<Read&, std::span<const uint8_t>>>
    static Deliver deliverTo(std::shared_ptr<std::promise<T>> promise, Read read);
    std::optional<Ticket> sendWith(const std::string& key, Deadline deadline, const Send& send, Deliver deliver);
    // Queues `deliver` under the key; nothing when it may not (closed key,
    // cancelled), and `deliver` is then dropped, breaking its promise.
    std::optional<Ticket> add(const std::string& key, Deliver deliver);
    void close(const Ticket& ticket);
    // Keeps the idle count and the pruning in step after a queue changed.
    void settle(Queues::iterator it);
    void prune();

    std::timed_mutex m_sendTurn;
    mutable std::mutex m_mutex;
    Queues m_waiters;
    uint64_t m_nextId = 1;  // 0: no registration
    uint64_t m_idleStamp = 0;
    size_t m_idle = 0;
    bool m_cancelled = false;
};

template <class Read, class T>
ProcessorResponseWaiters::Deliver ProcessorResponseWaiters::deliverTo(std::shared_ptr<std::promise<T>> promise,
                                                                      Read read) {
    // Shared with the future's owner: dropping the reader unanswered
    // (removal, destruction, a failed read) breaks the promise.
    return [promise = std::move(promise), read = std::move(read)](std::span<const uint8_t> bytes) mutable {
        promise->set_value(read(bytes));
    };
}

template <class Read, class T>
std::optional<ProcessorResponseWaiters::Awaiting<T>> ProcessorResponseWaiters::sendRequest(const std::string& key,
                                                                                         Deadline deadline,
                                                                                         const Send& send,
                                                                                         Read read) {
    auto promise = std::make_shared<std::promise<T>>();
    std::future<T> future = promise->get_future();
    std::optional<Ticket> ticket = sendWith(key, deadline, send, deliverTo(std::move(promise), std::move(read)));
    if (!ticket) return std::nullopt;
    return Awaiting<T>{std::move(*ticket), std::move(future)};
}

template <class Read, class T>
ProcessorResponseWaiters::Awaiting<T> ProcessorResponseWaiters::registerReader(const std::string& key, Read read) {
    auto promise = std::make_shared<std::promise<T>>();
    Awaiting<T> waiter{{key, 0}, promise->get_future()};
    if (std::optional<Ticket> ticket = add(key, deliverTo(std::move(promise), std::move(read))))
        waiter.ticket = std::move(*ticket);
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
