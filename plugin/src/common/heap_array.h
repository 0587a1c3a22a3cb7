// HeapArray<T>: an owned, uninitialised block of `size` elements from
// malloc. Blocks handed to the runtime boundary must be separate malloc
// allocations (see inference/runtime_api.h); release() gives the block away
// so a Tensor record can own it. A failed or empty allocation leaves a null
// block of size 0, so the caller decides whether that is an error.
//
// Not thread-safe; a HeapArray is moved between owners, never shared.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <utility>

namespace qz::vms_server_plugins::analytics::qzai {

template <typename T>
class HeapArray {
public:
    HeapArray() = default;
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    HeapArray& operator=(HeapArray&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~HeapArray() { std::free(data_); }

    // Allocates `count` elements without initialising them. Returns false
    // (leaving the array empty) when the byte count overflows or malloc fails;
    // a count of 0 succeeds with a null block.
    bool allocate(size_t count) {
        *this = HeapArray();
        if (count == 0) return true;
        if (count > static_cast<size_t>(-1) / sizeof(T)) return false;
        // Plain malloc, not aligned_alloc: aligned blocks of a frame's
        // size freed on another thread went back to the system every time,
        // and each frame faulted its input in again (15 times the faults and
        // 3.6 times the processor time on the 16-camera road).
        data_ = static_cast<T*>(std::malloc(count * sizeof(T)));
        if (!data_) return false;
        size_ = count;
        return true;
    }

    // Takes ownership of a malloc block of `count` elements.
    static HeapArray adopt(T* block, size_t count) {
        HeapArray array;
        array.data_ = block;
        array.size_ = block ? count : 0;
        return array;
    }

    // Gives the block to the caller, who frees it with free().
    T* release() {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

    // Shrinks to the first `count` elements (T must be trivially copyable);
    // the block is reallocated to the smaller size when possible.
    void truncate(size_t count) {
        if (count >= size_) return;
        if (count == 0) {
            *this = HeapArray();
            return;
        }
        if (T* smaller = static_cast<T*>(std::realloc(data_, count * sizeof(T)))) data_ = smaller;
        size_ = count;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    size_t byteSize() const { return size_ * sizeof(T); }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
