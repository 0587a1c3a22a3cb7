// The frame reader over scripted streams: how bytes are split across receive
// calls must not matter, and a stream that lies costs nothing.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "external/tcp_frame.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

// A stream that hands out the bytes in the given piece sizes, then ends with
// `last` (0 closed, -1 timed out).
struct ScriptedStream {
    std::string bytes;
    std::deque<size_t> pieces;
    long last = 0;
    size_t at = 0;

    long operator()(uint8_t* into, size_t atMost) {
        if (at >= bytes.size()) return last;
        size_t take = std::min(atMost, bytes.size() - at);
        if (!pieces.empty()) {
            take = std::min(take, pieces.front());
            pieces.pop_front();
        }
        std::copy_n(bytes.data() + at, take, into);
        at += take;
        return static_cast<long>(take);
    }
};

std::string frame(uint32_t length, const std::string& body) {
    std::string header(4, '\0');
    for (int i = 0; i < 4; ++i) header[i] = static_cast<char>(length >> (8 * i));
    return header + body;
}

}  // namespace

TEST(TcpFrameTest, FramesAreReadWhateverTheSplitAndStopCleanlyOtherwise) {
    const std::string body2500(2500, 'q');
    struct Case {
        const char* name;
        std::string bytes;
        std::deque<size_t> pieces;
        long last;
        qzai::TcpFrameStatus expected;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"empty body", frame(0, ""), {}, 0, qzai::TcpFrameStatus::Complete, ""},
        {"header byte by byte", frame(3, "abc"), {1, 1, 1, 1, 1, 1, 1}, 0, qzai::TcpFrameStatus::Complete, "abc"},
        {"body in odd pieces", frame(2500, body2500), {4, 1024, 7, 1024, 445}, 0, qzai::TcpFrameStatus::Complete,
         body2500},
        {"idle", "", {}, -1, qzai::TcpFrameStatus::Idle, ""},
        {"closed before a byte", "", {}, 0, qzai::TcpFrameStatus::HeaderFailed, ""},
        {"stalled inside the header", std::string("\x05\x00", 2), {}, -1, qzai::TcpFrameStatus::HeaderFailed, ""},
        {"closed inside the body", frame(10, "abc"), {}, 0, qzai::TcpFrameStatus::BodyFailed, ""},
        {"stalled inside the body", frame(10, "abc"), {}, -1, qzai::TcpFrameStatus::BodyFailed, ""},
        {"above the cap", frame(0xFFFFFFFF, "abc"), {}, 0, qzai::TcpFrameStatus::Oversized, ""},
        {"just above the cap", frame(qzai::kTcpMaxFrameBytes + 1, ""), {}, 0, qzai::TcpFrameStatus::Oversized, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedStream stream{c.bytes, c.pieces, c.last};
        qzai::ReceiveBuffer buffer;
        uint32_t announced = 0;
        int headers = 0;
        EXPECT_EQ(qzai::readTcpFrame(std::ref(stream), buffer, &announced, [&] { ++headers; }), c.expected);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size()), c.body);
        EXPECT_EQ(headers, c.bytes.size() >= 4 ? 1 : 0);
        // Nothing is reserved for bytes that never came.
        EXPECT_LE(buffer.capacity(), std::max<size_t>(2 * c.bytes.size(), 64 * 1024));
    }
}

TEST(TcpFrameTest, BufferKeepsItsCapacityForTheNextFrame) {
    ScriptedStream stream{frame(100000, std::string(100000, 'a')) + frame(5, "hello"), {}, 0};
    qzai::ReceiveBuffer buffer;
    uint32_t announced = 0;
    ASSERT_EQ(qzai::readTcpFrame(std::ref(stream), buffer, &announced), qzai::TcpFrameStatus::Complete);
    const size_t capacity = buffer.capacity();
    const uint8_t* storage = buffer.data();
    ASSERT_EQ(qzai::readTcpFrame(std::ref(stream), buffer, &announced), qzai::TcpFrameStatus::Complete);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size()), "hello");
    EXPECT_EQ(buffer.capacity(), capacity);
    EXPECT_EQ(buffer.data(), storage);
}
