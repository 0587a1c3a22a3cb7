#include "external/response_waiters.h"

#include <algorithm>

#include "common/log.h"
#include "external/external_process.h"

namespace qz::vms_server_plugins::analytics::qzai {

ProcessorResponseWaiters::Waiter ProcessorResponseWaiters::registerWaiter(const std::string& key) {
    std::promise<std::vector<uint8_t>> promise;
    Waiter waiter{{key, 0}, promise.get_future()};
    std::lock_guard<std::mutex> lock(m_mutex);
    waiter.ticket.id = m_nextId++;
    m_waiters[key].emplace_back(waiter.ticket.id, std::move(promise));
    return waiter;
}

void ProcessorResponseWaiters::removeWaiter(const Ticket& ticket) {
    std::promise<std::vector<uint8_t>> dropped;  // released after the unlock
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

void ProcessorResponseWaiters::fulfil(const std::string& key, std::vector<uint8_t> bytes) {
    std::promise<std::vector<uint8_t>> promise;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_waiters.find(key);
        if (it == m_waiters.end()) return;
        promise = std::move(it->second.front().second);
        it->second.pop_front();
        if (it->second.empty()) m_waiters.erase(it);
    }
    promise.set_value(std::move(bytes));
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
    std::vector<uint8_t> bytes(response->begin(), response->end());
    const std::optional<std::string> key = readProcessorResponseKey(*response);
    process.releaseOutput();
    if (key) {
        waiters.fulfil(*key, std::move(bytes));
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
