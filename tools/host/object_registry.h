// ObjectRegistry: the ref-countable registry the test host gives the
// library context; it tracks the library's live objects so a test can check
// that nothing is left once everything has been released. Thread-safe.
#pragma once

#include <cstddef>
#include <mutex>
#include <set>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::test_host {

class ObjectRegistry final : public qz::sdk::RefCountable<qz::sdk::IRefCountableRegistry> {
public:
    void notifyCreated(const qz::sdk::IRefCountable* object, int refCount) override;
    void notifyDestroyed(const qz::sdk::IRefCountable* object, int refCount) override;

    size_t liveCount() const;
    size_t createdCount() const;
    // Destroyed objects the registry never saw created, or saw destroyed twice.
    size_t unmatchedDestroyCount() const;

private:
    mutable std::mutex m_mutex;
    std::multiset<const qz::sdk::IRefCountable*> m_live;
    size_t m_created = 0;
    size_t m_unmatched = 0;
};

}  // namespace qz::test_host
