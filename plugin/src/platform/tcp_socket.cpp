#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

int pollTimeout(int64_t timeoutMs) {
    if (timeoutMs < 0) return -1;
    return static_cast<int>(std::min<int64_t>(timeoutMs, INT_MAX));
}

}  // namespace

TcpSocket::~TcpSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

bool TcpSocket::connect(uint16_t port, int timeoutMs) {
    if (m_fd >= 0) return false;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return false;
        pollfd p{m_fd, POLLOUT, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, timeoutMs);
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0) return false;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    }
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_connected.store(true, std::memory_order_release);
    return true;
}

long TcpSocket::receiveSome(void* buffer, size_t size, int64_t timeoutMs) {
    if (m_fd < 0 || size == 0) return kClosed;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) return kClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return kClosed;
        pollfd p{m_fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, pollTimeout(timeoutMs));
        if (rc == 0) return kTimedOut;
        if (rc < 0 && errno != EINTR) return kClosed;
    }
}

TcpSocket::SendOutcome TcpSocket::sendAll(const iovec* pieces, int count,
                                          std::chrono::steady_clock::time_point deadline, size_t* sentBytes) {
    size_t total = 0;
    if (sentBytes == nullptr) sentBytes = &total;
    *sentBytes = 0;
    if (m_fd < 0 || !isConnected()) return SendOutcome::kFailed;
    std::vector<iovec> left(pieces, pieces + count);
    size_t first = 0;
    while (first < left.size()) {
        if (left[first].iov_len == 0) {
            ++first;
            continue;
        }
        msghdr message{};
        message.msg_iov = left.data() + first;
        message.msg_iovlen = std::min<size_t>(left.size() - first, IOV_MAX);
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return SendOutcome::kFailed;
            const auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now())
                                     .count();
            if (left_ms <= 0) return SendOutcome::kTimedOut;
            pollfd p{m_fd, POLLOUT, 0};
            const int rc = ::poll(&p, 1, pollTimeout(left_ms));
            if (rc < 0 && errno != EINTR) return SendOutcome::kFailed;
            if (rc > 0 && (p.revents & (POLLERR | POLLHUP)) != 0) return SendOutcome::kFailed;
            continue;
        }
        size_t sent = static_cast<size_t>(n);
        *sentBytes += sent;
        while (sent > 0 && first < left.size()) {
            const size_t take = std::min(sent, left[first].iov_len);
            left[first].iov_base = static_cast<char*>(left[first].iov_base) + take;
            left[first].iov_len -= take;
            sent -= take;
            if (left[first].iov_len == 0) ++first;
        }
    }
    return SendOutcome::kSent;
}

void TcpSocket::close() {
    m_connected.store(false, std::memory_order_release);
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

void TcpSocket::abort() {
    m_connected.store(false, std::memory_order_release);
    if (m_fd < 0) return;
    // With a zero linger time the final close resets the connection instead of
    // queueing a FIN behind bytes a stalled peer will never read.
    const linger hard{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::shutdown(m_fd, SHUT_RD);
}

void TcpSocket::shutdownRead() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RD);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
