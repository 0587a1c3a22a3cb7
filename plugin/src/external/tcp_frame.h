// Reading one length-prefixed frame from a byte stream.
//
// A frame is a 4-byte little-endian unsigned body length followed by exactly
// that many bytes. The reader takes its bytes from a "receive some" callable
// (the socket in production), so it can be driven by any source:
//   long receive(uint8_t* into, size_t atMost)
// returns the count it stored (> 0), 0 when the stream closed or failed, or
// a negative value when nothing arrived within its time-out.
// The header is read fully even when it arrives split. A length above
// kTcpMaxFrameBytes is refused before anything is allocated, and the body
// buffer grows only with bytes that have arrived, so a lying header costs
// nothing. After any status but Complete and Idle the stream is out of step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace qz::vms_server_plugins::analytics::qzai {

// The largest body accepted (the largest shared-memory message).
inline constexpr uint32_t kTcpMaxFrameBytes = 209'715'196;

// A byte buffer whose capacity survives clear() and whose growth does not
// initialise the new bytes. Single-threaded.
class ReceiveBuffer {
public:
    const uint8_t* data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    size_t capacity() const { return m_capacity; }
    void clear() { m_size = 0; }
    // Empties the buffer and gives its memory back.
    void release();
    // Makes room for `extra` bytes after size() and returns where they go.
    uint8_t* reserveTail(size_t extra);
    void commit(size_t bytes) { m_size += bytes; }

private:
    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

enum class TcpFrameStatus {
    Complete,      // the body is in the buffer
    Idle,          // nothing arrived before the first receive timed out
    HeaderFailed,  // the stream closed or stalled inside the header
    Oversized,     // the announced length is above kTcpMaxFrameBytes
    BodyFailed,    // the stream closed or stalled inside the body
};

using ReceiveSome = std::function<long(uint8_t* into, size_t atMost)>;

// Clears `body` and reads one frame into it; `*announced` gets the header's
// length once the header is complete.
// `onHeader`, when given, runs once the header is complete.
TcpFrameStatus readTcpFrame(const ReceiveSome& receive, ReceiveBuffer& body, uint32_t* announced,
                            const std::function<void()>& onHeader = {});

}  // namespace qz::vms_server_plugins::analytics::qzai
