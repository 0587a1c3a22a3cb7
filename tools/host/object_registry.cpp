#include "host/object_registry.h"

namespace qz::test_host {

void ObjectRegistry::notifyCreated(const qz::sdk::IRefCountable* object, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_live.insert(object);
    ++m_created;
}

void ObjectRegistry::notifyDestroyed(const qz::sdk::IRefCountable* object, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_live.find(object);
    if (it == m_live.end()) {
        ++m_unmatched;
        return;
    }
    m_live.erase(it);
}

size_t ObjectRegistry::liveCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_live.size();
}

size_t ObjectRegistry::createdCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_created;
}

size_t ObjectRegistry::unmatchedDestroyCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unmatched;
}

}  // namespace qz::test_host
