#include "common/frame_buffer_pool.h"

#include <utility>

namespace qz::vms_server_plugins::analytics::qzai {

FrameBufferPool::FrameBufferPool(size_t capacity) : m_capacity(capacity) { m_idle.reserve(capacity); }

HeapArray<uint8_t> FrameBufferPool::take(size_t bytes) {
    HeapArray<uint8_t> buffer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Newest first: it is the most likely to be still in the caches.
        for (auto it = m_idle.rbegin(); it != m_idle.rend(); ++it) {
            if (it->size() != bytes) continue;
            buffer = std::move(*it);
            m_idle.erase(std::next(it).base());
            return buffer;
        }
    }
    buffer.allocate(bytes);
    return buffer;
}

void FrameBufferPool::give(HeapArray<uint8_t> buffer) noexcept {
    if (buffer.empty() || m_capacity == 0) return;  // `buffer` is freed on return
    HeapArray<uint8_t> dropped;  // freed after the mutex is released
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle.size() == m_capacity) {
        dropped = std::move(m_idle.front());
        m_idle.erase(m_idle.begin());
    }
    m_idle.push_back(std::move(buffer));
}

void FrameBufferPool::clear() {
    std::vector<HeapArray<uint8_t>> dropped;
    dropped.reserve(m_capacity);  // the pool keeps room for m_capacity
    std::lock_guard<std::mutex> lock(m_mutex);
    dropped.swap(m_idle);
}

size_t FrameBufferPool::idle() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_idle.size();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
