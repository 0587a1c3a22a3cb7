#include "external/response_waiters.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "common/log.h"
#include "external/external_process.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::vector<uint8_t> copyOfResponse(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

}  // namespace

ProcessorResponseWaiters::Waiter ProcessorResponseWaiters::registerWaiter(const std::string& key) {
    return registerReader(key, copyOfResponse);
}

std::optional<ProcessorResponseWaiters::Waiter> ProcessorResponseWaiters::sendRequest(const std::string& key,
                                                                                    Deadline deadline,
                                                                                    const Send& send) {
    return sendRequest(key, deadline, send, copyOfResponse);
}

std::optional<ProcessorResponseWaiters::Ticket> ProcessorResponseWaiters::sendWith(const std::string& key,
                                                                                  Deadline deadline, const Send& send,
                                                                                  Deliver deliver) {
    // The waiter queues and its request goes out under one turn, so the
    // order of a key's waiters is the order of its requests on the wire.
    std::unique_lock<std::timed_mutex> turn(m_sendTurn, std::defer_lock);
    if (deadline == Deadline::max()) {
        turn.lock();
    } else if (!turn.try_lock_until(deadline)) {
        logInfo("External process busy: a request gave up waiting for its turn to be sent.\n");
        return std::nullopt;
    }
    std::optional<Ticket> ticket = add(key, std::move(deliver));
    if (!ticket) return std::nullopt;
    if (send()) return ticket;
    close(*ticket);
    return std::nullopt;
}

std::optional<ProcessorResponseWaiters::Ticket> ProcessorResponseWaiters::add(const std::string& key,
                                                                             Deliver deliver) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto it = m_cancelled ? m_waiters.end() : m_waiters.try_emplace(key).first;
    if (it == m_waiters.end() || it->second.closed) {
        lock.unlock();
        return std::nullopt;  // `deliver` goes here, breaking its promise
    }
    Ticket ticket{key, m_nextId++};
    it->second.entries.push_back({ticket.id, std::move(deliver)});
    ++it->second.live;
    settle(it);
    return ticket;
}

void ProcessorResponseWaiters::close(const Ticket& ticket) {
    std::deque<Entry> dropped;  // released after the unlock
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_waiters.find(ticket.key);
    if (it == m_waiters.end()) return;
    Queue& queue = it->second;
    const auto own = std::find_if(queue.entries.begin(), queue.entries.end(),
                                  [&](const Entry& entry) { return entry.id == ticket.id; });
    // Whatever queued behind the failed request could be handed its answer.
    dropped.assign(std::make_move_iterator(own), std::make_move_iterator(queue.entries.end()));
    queue.entries.erase(own, queue.entries.end());
    for (const Entry& entry : dropped) queue.live -= entry.deliver ? 1 : 0;
    queue.closed = true;
    settle(it);
    prune();
}

void ProcessorResponseWaiters::cancelAll() {
    Queues dropped;  // released after the unlock
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = true;
    dropped.swap(m_waiters);
    m_idle = 0;
}

void ProcessorResponseWaiters::removeWaiter(const Ticket& ticket) {
    Deliver dropped;  // released after the unlock
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_waiters.find(ticket.key);
    if (it == m_waiters.end()) return;
    Queue& queue = it->second;
    const auto own = std::find_if(queue.entries.begin(), queue.entries.end(),
                                  [&](const Entry& entry) { return entry.id == ticket.id; });
    if (own == queue.entries.end() || !own->deliver) return;
    dropped.swap(own->deliver);  // the entry stays, to take its answer
    --queue.live;
    settle(it);
    prune();
}

void ProcessorResponseWaiters::fulfil(const std::string& key, std::span<const uint8_t> bytes) {
    Deliver deliver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_waiters.find(key);
        if (it == m_waiters.end()) return;
        Queue& queue = it->second;
        // A closed key with nothing queued drops the answer.
        if (!queue.entries.empty()) {
            deliver.swap(queue.entries.front().deliver);
            queue.entries.pop_front();
            if (deliver) --queue.live;
        }
        settle(it);
        prune();
    }
    if (!deliver) return;  // the answer of a request given up
    try {
        deliver(bytes);
    } catch (const std::bad_alloc&) {
        // The waiter's promise breaks when `deliver` goes.
    }
}

void ProcessorResponseWaiters::settle(Queues::iterator it) {
    Queue& queue = it->second;
    if (queue.entries.empty() && !queue.closed) {
        if (queue.idleSince != 0) --m_idle;
        m_waiters.erase(it);
    } else if (queue.live == 0 && queue.idleSince == 0) {
        queue.idleSince = ++m_idleStamp;
        ++m_idle;
    } else if (queue.live > 0 && queue.idleSince != 0) {
        queue.idleSince = 0;
        --m_idle;
    }
}

void ProcessorResponseWaiters::prune() {
    while (m_idle > kMaxIdleKeys) {
        auto oldest = m_waiters.end();
        for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
            const uint64_t since = it->second.idleSince;
            if (since != 0 && (oldest == m_waiters.end() || since < oldest->second.idleSince)) oldest = it;
        }
        if (oldest == m_waiters.end()) return;
        m_waiters.erase(oldest);  // holds no waiting worker
        --m_idle;
    }
}

size_t ProcessorResponseWaiters::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = 0;
    for (const auto& [key, queue] : m_waiters) count += queue.live;
    return count;
}

size_t ProcessorResponseWaiters::keysHeld() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiters.size();
}

namespace {

// Takes one response, if any, and hands it on. False when there was none.
bool takeResponse(ExternalProcess& process, ProcessorResponseWaiters& waiters, uint32_t waitMs,
                  const std::string& processorName) {
    const auto response = process.receiveOutput(waitMs);
    if (!response) return false;
    // The bytes stay in the transport's memory until released, which happens
    // only after the waiter's reader has taken what it keeps.
    struct Release {
        ExternalProcess& process;
        ~Release() { process.releaseOutput(); }
    } release{process};
    std::optional<std::string> key;
    try {
        key = readProcessorResponseKey(*response);
    } catch (const std::bad_alloc&) {
        // Dropped like a response without identity.
    }
    if (key) {
        waiters.fulfil(*key, *response);
    } else {
        logMessage("Warning: Could not read DeviceID/Timestamp from processor %s response. Dropping it.\n",
                   processorName.c_str());
    }
    return true;
}

}  // namespace

void processorReceiveLoop(std::stop_token token, ExternalProcess* process, ProcessorResponseWaiters* waiters,
                          uint32_t timeoutMs, std::string processorName) {
    if (process == nullptr || waiters == nullptr) return;
    std::stop_callback cancel(token, [process] { process->cancelReceive(); });
    const uint32_t waitMs = std::max<uint32_t>(timeoutMs, 1);
    while (!token.stop_requested()) {
        if (process->hasExited()) {
            // A response written just before the end is still delivered.
            takeResponse(*process, *waiters, 0, processorName);
            return;
        }
        takeResponse(*process, *waiters, waitMs, processorName);
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
