#include "external/tcp_frame.h"

#include <algorithm>
#include <cstring>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Room made ahead of the bytes at a time: at least this much, at most what
// has already arrived (so the buffer at most doubles what the peer sent).
constexpr size_t kMinimumStep = 64 * 1024;

}  // namespace

uint8_t* ReceiveBuffer::reserveTail(size_t extra) {
    const size_t needed = m_size + extra;
    if (needed > m_capacity) {
        const size_t grown = std::max(needed, m_capacity + m_capacity / 2);
        std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]);
        if (m_size > 0) std::memcpy(bigger.get(), m_data.get(), m_size);
        m_data = std::move(bigger);
        m_capacity = grown;
    }
    return m_data.get() + m_size;
}

void ReceiveBuffer::release() {
    m_data.reset();
    m_size = 0;
    m_capacity = 0;
}

TcpFrameStatus readTcpFrame(const ReceiveSome& receive, ReceiveBuffer& body, uint32_t* announced,
                            const std::function<void()>& onHeader) {
    body.clear();
    uint8_t header[4];
    size_t got = 0;
    while (got < sizeof header) {
        const long n = receive(header + got, sizeof header - got);
        if (n < 0 && got == 0) return TcpFrameStatus::Idle;
        if (n <= 0) return TcpFrameStatus::HeaderFailed;
        got += std::min(static_cast<size_t>(n), sizeof header - got);
    }
    const uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                            static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    *announced = length;
    if (onHeader) onHeader();
    if (length > kTcpMaxFrameBytes) return TcpFrameStatus::Oversized;
    while (body.size() < length) {
        const size_t remaining = length - body.size();
        const size_t step = std::min(remaining, std::max(kMinimumStep, body.size()));
        uint8_t* into = body.reserveTail(step);
        const long n = receive(into, step);
        if (n <= 0) {
            body.clear();
            return TcpFrameStatus::BodyFailed;
        }
        body.commit(std::min(static_cast<size_t>(n), step));
    }
    return TcpFrameStatus::Complete;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
