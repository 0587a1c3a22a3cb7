// RefCountable<Interface>: the reference counting and interface query every
// object of this library inherits.
//
// Counts are atomic, start at 1 (the creator's reference) and the object
// deletes itself when releaseRef brings the count to 0. queryInterface walks
// Interface's chain (ParentInterface / olderInterfaceId, see interface_ids.h)
// from the most derived id down to "qz::sdk::IRefCountable"; a hit adds a
// reference, a miss returns null and leaves the count unchanged; a null id or
// one that names no interface at all is logged. Every call is thread-safe. A class that implements more than
// its chain overrides queryInterface and falls back to this one.
#pragma once

#include <atomic>
#include <string_view>

#include "qz/sdk/helpers/lib_context.h"
#include "qz/sdk/helpers/log.h"
#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

namespace detail {

template <class I>
concept HasParentInterface = requires { typename I::ParentInterface; };
template <class I>
concept HasOlderInterfaceId = requires { I::olderInterfaceId(); };

template <class I, class Self>
void* findInterface(Self* self, std::string_view id) {
    if (id == I::interfaceId()) return static_cast<I*>(self);
    if constexpr (HasOlderInterfaceId<I>) {
        if (id == I::olderInterfaceId()) return static_cast<I*>(self);
    }
    if constexpr (HasParentInterface<I>) {
        return findInterface<typename I::ParentInterface>(self, id);
    } else {
        return nullptr;
    }
}

}  // namespace detail

template <class Interface>
class RefCountable : public Interface {
public:
    RefCountable(const RefCountable&) = delete;
    RefCountable& operator=(const RefCountable&) = delete;

    void* queryInterface(const char* interfaceId) override {
        if (!interfaceId) {
            sdkLog(logPrefix(), "queryInterface: null interface id");
            return nullptr;
        }
        void* found = detail::findInterface<Interface>(static_cast<Interface*>(this), interfaceId);
        if (!found) {
            if (!isKnownInterfaceId(interfaceId))
                sdkLog(logPrefix(), "queryInterface: unknown interface id \"%s\"", interfaceId);
            return nullptr;
        }
        addRef();
        return found;
    }

    int addRef() const override { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    // A release beyond the references taken is a use after free (the object
    // went at 0) and cannot be detected here.
    int releaseRef() const override {
        const int count = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0) delete this;
        return count;
    }

    // The current count; for tests and diagnostics only.
    int refCount() const { return m_refCount.load(std::memory_order_relaxed); }

protected:
    RefCountable() { notifyRefCountableCreated(this, 1); }
    ~RefCountable() override { notifyRefCountableDestroyed(this, refCount()); }

private:
    mutable std::atomic<int> m_refCount{1};
};

}  // namespace qz::sdk
