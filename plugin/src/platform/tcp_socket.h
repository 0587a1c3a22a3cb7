// A TCP client socket to a port on 127.0.0.1.
//
// connect() makes a non-blocking connect bounded by a time-out and switches
// on TCP_NODELAY. receiveSome() waits up to its own time-out and tells a
// time-out apart from a close. sendAll() hands over every byte of a list of
// pieces before a deadline, with MSG_NOSIGNAL, so a closed peer never raises
// SIGPIPE. A socket connects once: reconnecting means a new object.
//
// Thread-safety: one thread may receive while another sends; close(),
// abort() and shutdownRead() may be called from any thread. The descriptor
// itself is closed only by the destructor, so it cannot be reused under a
// concurrent call: share the object through a shared pointer.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

class TcpSocket {
public:
    // What receiveSome() returns besides a positive byte count.
    static constexpr long kClosed = 0;     // the peer closed, or the socket failed
    static constexpr long kTimedOut = -1;  // nothing arrived within the time-out

    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects to 127.0.0.1:port within `timeoutMs`. False on failure.
    bool connect(uint16_t port, int timeoutMs);
    bool isConnected() const { return m_connected.load(std::memory_order_acquire); }

    // Receives up to `size` bytes, waiting at most `timeoutMs` (negative: no limit).
    long receiveSome(void* buffer, size_t size, int64_t timeoutMs);
    enum class SendOutcome {
        kSent,      // every byte went out
        kTimedOut,  // the deadline passed first (a deadline already past: one try without waiting)
        kFailed,    // the socket failed or is not connected
    };
    // Sends every byte of the pieces. `sentBytes`, when given, receives how
    // many bytes went out.
    SendOutcome sendAll(const iovec* pieces, int count, std::chrono::steady_clock::time_point deadline,
                        size_t* sentBytes = nullptr);

    // Marks the socket not connected and shuts both directions down.
    void close();
    // Marks the socket not connected, ends receives, and makes the final close
    // reset the connection (unsent bytes are dropped).
    void abort();
    // Ends a waiting or later receive with kClosed; sending is unaffected.
    void shutdownRead();

private:
    int m_fd = -1;
    std::atomic<bool> m_connected{false};
};

}  // namespace qz::vms_server_plugins::analytics::qzai
