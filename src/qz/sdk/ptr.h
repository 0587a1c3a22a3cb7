// qz::sdk::Ptr: an owning reference to a reference-counted SDK object.
//
// Copying adds a reference, destruction releases one. Ptr(raw) adopts the
// reference the raw pointer already holds (the caller's reference from a
// factory or a queryInterface hit); use Ptr<T>::share(raw) to add one instead.
// A Ptr is as thread-safe as a shared_ptr: distinct Ptr objects may be used
// from different threads, one Ptr object may not be written concurrently.
#pragma once

#include <cstddef>
#include <utility>

namespace qz::sdk {

template <class T>
class Ptr {
public:
    Ptr() = default;
    Ptr(std::nullptr_t) {}
    explicit Ptr(T* adopted) : m_ptr(adopted) {}
    static Ptr share(T* raw) {
        if (raw) raw->addRef();
        return Ptr(raw);
    }

    Ptr(const Ptr& other) : m_ptr(other.m_ptr) {
        if (m_ptr) m_ptr->addRef();
    }
    Ptr(Ptr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    template <class U>
    Ptr(const Ptr<U>& other) : m_ptr(other.get()) {
        if (m_ptr) m_ptr->addRef();
    }
    template <class U>
    Ptr(Ptr<U>&& other) noexcept : m_ptr(other.releasePtr()) {}

    Ptr& operator=(Ptr other) noexcept {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }
    ~Ptr() { reset(); }

    void reset() {
        if (T* p = std::exchange(m_ptr, nullptr)) p->releaseRef();
    }
    // Gives up ownership without releasing: the caller now holds the reference.
    T* releasePtr() { return std::exchange(m_ptr, nullptr); }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    friend bool operator==(const Ptr& a, const Ptr& b) { return a.m_ptr == b.m_ptr; }

private:
    T* m_ptr = nullptr;
};

template <class T, class... Args>
Ptr<T> makePtr(Args&&... args) {
    return Ptr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace qz::sdk

namespace qz::sdk {

// The object as interface I (I::interfaceId()) with a reference of its own,
// or null when `object` is null or does not implement I.
template <class I, class T>
Ptr<I> queryInterfacePtr(T* object) {
    if (!object) return Ptr<I>();
    return Ptr<I>(static_cast<I*>(object->queryInterface(I::interfaceId())));
}

}  // namespace qz::sdk
