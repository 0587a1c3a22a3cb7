#include "external/response_waiters.h"

#include <algorithm>
#include <new>

#include "common/log.h"
#include "external/external_process.h"

namespace qz::vms_server_plugins::analytics::qzai {

ProcessorResponseWaiters::Waiter ProcessorResponseWaiters::registerWaiter(const std::string& key) {
    return registerReader(key,
                          [](std::span<const uint8_t> bytes) { return std::vector<uint8_t>(bytes.begin(), bytes.end()); });
}

ProcessorResponseWaiters::Ticket ProcessorResponseWaiters::add(const std::string& key, Deliver deliver) {
    std::unique_lock<std::mutex> lock(m_mutex);
    Ticket ticket{key, m_nextId++};
    if (m_cancelled) {
        lock.unlock();
        return ticket;  // `deliver` goes here, breaking its promise
    }
    m_waiters[key].emplace_back(ticket.id, std::move(deliver));
    return ticket;
}

void ProcessorResponseWaiters::cancelAll() {
    std::map<std::string, Pending> dropped;  // released after the unlock
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = true;
    dropped.swap(m_waiters);
}

void ProcessorResponseWaiters::removeWaiter(const Ticket& ticket) {
    Deliver dropped;  // released after the unlock
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_waiters.find(ticket.key);
    if (it == m_waiters.end()) return;
    Pending& queue = it->second;
    const auto own = std::find_if(queue.begin(), queue.end(), [&](const auto& p) { return p.first == ticket.id; });
    if (own == queue.end()) return;
    dropped = std::move(own->second);
    queue.erase(own);
    if (queue.empty()) m_waiters.erase(it);
}

void ProcessorResponseWaiters::fulfil(const std::string& key, std::span<const uint8_t> bytes) {
    Deliver deliver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_waiters.find(key);
        if (it == m_waiters.end()) return;
        deliver = std::move(it->second.front().second);
        it->second.pop_front();
        if (it->second.empty()) m_waiters.erase(it);
    }
    try {
        deliver(bytes);
    } catch (const std::bad_alloc&) {
        // The waiter's promise breaks when `deliver` goes.
    }
}

size_t ProcessorResponseWaiters::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = 0;
    for (const auto& [key, queue] : m_waiters) count += queue.size();
    return count;
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
