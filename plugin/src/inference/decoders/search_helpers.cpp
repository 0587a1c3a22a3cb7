#include "inference/decoders/search_helpers.h"

#include <algorithm>
#include <exception>
#include <string>

#include "inference/decoders/decoder_log.h"

namespace qz::vms_server_plugins::analytics::qzai {

SearchHelpers::SearchHelpers(int32_t helpers, ThreadStarter start)
    : m_limit(std::max(helpers, 0)), m_start(std::move(start)) {
    m_helpers.reserve(static_cast<size_t>(m_limit));
}

SearchHelpers::~SearchHelpers() { stop(); }

void SearchHelpers::run(int32_t pieces, int32_t helpers, const std::function<void(int32_t)>& work) {
    if (pieces <= 0) return;
    const auto runAlone = [&] {
        for (int32_t p = 0; p < pieces; ++p) work(p);
    };
    // Searches that want no helper (most of them) never touch the shared lock.
    const int32_t wanted = std::min({helpers, m_limit, pieces - 1});
    if (wanted <= 0) return runAlone();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_slotTaken) {
        lock.unlock();
        return runAlone();
    }
    m_slotTaken = true;
    startHelpers(lock, static_cast<size_t>(wanted));
    const uint32_t generation = ++m_generation;
    m_work = &work;
    m_pieces = pieces;
    m_seats = std::min(wanted, static_cast<int32_t>(m_helpers.size()));
    m_done.store(0, std::memory_order_relaxed);
    m_ticket.store(static_cast<uint64_t>(generation) << 32, std::memory_order_release);
    const bool wake = m_seats > 0;
    lock.unlock();
    if (wake) ring(0);

    int32_t mine = 0;
    for (int32_t piece = 0; claim(generation, pieces, piece); ++mine) work(piece);
    // Every piece is taken: wait for those the helpers are still running.
    int32_t done = m_done.fetch_add(mine, std::memory_order_acq_rel) + mine;
    while (done < pieces) {
        m_done.wait(done, std::memory_order_acquire);
        done = m_done.load(std::memory_order_acquire);
    }

    lock.lock();
    m_work = nullptr;
    m_seats = 0;
    m_slotTaken = false;
    lock.unlock();
    m_idle.notify_all();
}

void SearchHelpers::stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_slotTaken; });
    m_slotTaken = true;
    m_stopping.store(true, std::memory_order_release);
    lock.unlock();
    for (size_t h = 0; h < m_helpers.size(); ++h) ring(h);
    for (const std::unique_ptr<Helper>& helper : m_helpers) helper->thread.join();
    lock.lock();
    m_helpers.clear();
    m_stopping.store(false, std::memory_order_relaxed);
    m_startFailed = false;
    m_slotTaken = false;
    lock.unlock();
    m_idle.notify_all();
}

void SearchHelpers::ring(size_t index) {
    std::atomic<uint32_t>& bell = m_helpers[index]->bell;
    bell.fetch_add(1, std::memory_order_release);
    bell.notify_one();
}

bool SearchHelpers::claim(uint32_t generation, int32_t pieces, int32_t& piece) {
    uint64_t ticket = m_ticket.load(std::memory_order_relaxed);
    for (;;) {
        const int32_t next = static_cast<int32_t>(ticket & 0xffffffffu);
        if (ticket >> 32 != generation || next >= pieces) return false;
        if (m_ticket.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            piece = next;
            return true;
        }
    }
}

void SearchHelpers::helperLoop(size_t index) {
    std::atomic<uint32_t>& bell = m_helpers[index]->bell;
    // From 0, not the current value: a ring before this thread first ran
    // is still heard.
    uint32_t heard = 0;
    uint32_t joined = 0;  // the last generation this helper took part in
    for (;;) {
        bell.wait(heard, std::memory_order_acquire);
        heard = bell.load(std::memory_order_acquire);
        if (m_stopping.load(std::memory_order_acquire)) return;

        std::unique_lock<std::mutex> lock(m_mutex);
        // A late ring may find its job over (or the next one not its business).
        if (m_generation == joined || static_cast<int32_t>(index) >= m_seats) continue;
        joined = m_generation;
        // The job's caller waits for every piece taken below, so `work`
        // stays valid while a piece of this generation runs.
        const std::function<void(int32_t)>& work = *m_work;
        const int32_t pieces = m_pieces;
        const bool wakeNext = static_cast<int32_t>(index) + 1 < m_seats;
        lock.unlock();
        const uint64_t next = m_ticket.load(std::memory_order_relaxed);
        if (wakeNext && next >> 32 == joined && static_cast<int32_t>(next & 0xffffffffu) + 1 < pieces) {
            ring(index + 1);
        }
        for (int32_t piece = 0; claim(joined, pieces, piece);) {
            work(piece);
            if (m_done.fetch_add(1, std::memory_order_acq_rel) + 1 == pieces) m_done.notify_one();
        }
    }
}

void SearchHelpers::startHelpers(std::unique_lock<std::mutex>& lock, size_t wanted) {
    // Only the owner of the slot changes m_helpers, so the lock can be let go
    // while a thread starts.
    while (m_helpers.size() < wanted && !m_startFailed) {
        const size_t index = m_helpers.size();
        m_helpers.push_back(std::make_unique<Helper>());
        lock.unlock();
        std::string error;
        try {
            m_helpers[index]->thread = m_start([this, index] { helperLoop(index); });
        } catch (const std::exception& e) {
            error = e.what();
        }
        lock.lock();
        if (m_helpers[index]->thread.joinable()) continue;
        m_helpers.pop_back();
        m_startFailed = true;
        decoderWarning(
            "Warning! [AnchorFreeYolo] Could not start a search thread (%s); searching on the calling "
            "thread.\n",
            error.empty() ? "no thread" : error.c_str());
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
