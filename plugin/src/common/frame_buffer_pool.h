// FrameBufferPool: a few idle RGB frame buffers of the frame road, kept for
// reuse.
//
// The frame road converts each admitted host frame into a new buffer of
// width x height x 3 floats (about 25 MB at 1080p) on the host's thread, and
// the last holder of the request frees it on another thread, usually while
// requests of later frames are still in flight. The allocator then gives the
// host thread freshly mapped pages for almost every frame, and faulting them
// in costs the host thread more than the conversion itself. Frames built
// with a pool take a buffer of their exact byte size from it when one is
// idle and give their buffer back when destroyed.
//
// At most `capacity` buffers stay idle (of any sizes); giving one back to a
// full pool frees the oldest idle buffer. The pool is shared: every frame
// made from it holds a reference, so a frame may outlive the pool's owner.
// Thread-safe; the mutex is held only to move a buffer in or out, and
// nothing is allocated or freed under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/heap_array.h"

namespace qz::vms_server_plugins::analytics::qzai {

class FrameBufferPool {
public:
    explicit FrameBufferPool(size_t capacity);

    FrameBufferPool(const FrameBufferPool&) = delete;
    FrameBufferPool& operator=(const FrameBufferPool&) = delete;

    // An uninitialised buffer of exactly `bytes` bytes: an idle one of that
    // size, else a new one; empty when `bytes` is 0 or allocation fails.
    HeapArray<uint8_t> take(size_t bytes);
    // Keeps the buffer for reuse (an empty one is ignored). Allocates
    // nothing, so frames may call it from their destructors.
    void give(HeapArray<uint8_t> buffer) noexcept;
    // Frees every idle buffer.
    void clear();

    size_t idle() const;

private:
    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::vector<HeapArray<uint8_t>> m_idle;  // oldest first; room for m_capacity
};

}  // namespace qz::vms_server_plugins::analytics::qzai
