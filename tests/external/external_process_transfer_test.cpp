// Requests and responses over both transports with qz_peer on the other end.
#include <chrono>
#include <fstream>
#include <latch>
#include <thread>

#include "external/support/peer_fixture.h"

using namespace std::chrono_literals;
using qz::test::Transport;

namespace {

class ExternalProcessTransferTest : public qz::test::PeerFixture {};

const Transport kBoth[] = {Transport::SharedMemory, Transport::Tcp};

std::string patterned(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

}  // namespace

TEST_F(ExternalProcessTransferTest, ResponsesComeBackWholeAtEverySize) {
    struct Case {
        const char* behaviour;
        std::vector<std::string> options;
        std::string request;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"echo", {}, "", ""},
        {"echo", {}, std::string(4, '\0'), std::string(4, '\0')},
        {"echo", {}, patterned(4000), patterned(4000)},
        // Both segments grow: the request by this side, the response by the peer.
        {"echo", {}, patterned(70000), patterned(70000)},
        {"respond", {"--size", "0"}, "x", ""},
        {"respond", {"--size", "2500", "--split", "1"}, "x", patterned(2500)},
    };
    for (const Transport transport : kBoth) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(transportName(transport)) + " " + c.behaviour + " " +
                         std::to_string(c.request.size()));
            auto* process = start(transport, c.behaviour, c.options);
            ASSERT_NE(process, nullptr);
            for (int round = 0; round < 2; ++round) EXPECT_EQ(exchange(*process, c.request), c.expected);
        }
    }
    EXPECT_EQ(log.count("Warning"), 0);
}

TEST_F(ExternalProcessTransferTest, SlowStarterIsUsedOnceReadyEvenAfterTheWaitsAreUsedUp) {
    struct Case {
        int failedSends;
        bool skipped;  // the ready waits were used up before the peer became ready
    };
    for (const Case c : {Case{2, false}, Case{6, true}}) {
        SCOPED_TRACE(c.failedSends);
        log.restart();
        const auto readyFile = log.dir() / "go";
        const auto childLog = log.dir() / "child.log";
        std::filesystem::remove(readyFile);
        auto* process = start(Transport::SharedMemory, "readyafter", {"--readyfile", readyFile.string()},
                              childLog.string());
        ASSERT_NE(process, nullptr);
        for (int i = 0; i < c.failedSends; ++i) EXPECT_FALSE(process->sendInput(std::span<const uint8_t>()));
        for (int attempt = 1; attempt <= std::min(c.failedSends, 5); ++attempt) {
            EXPECT_EQ(log.count("Warning! External process not ready yet (attempt " + std::to_string(attempt) + "/5)."),
                      1);
        }
        EXPECT_EQ(log.count("Skipping sending input to external process. Max retries reached."), c.skipped ? 1 : 0);
        EXPECT_EQ(log.count("Warning! Could not send input message: 4"), c.skipped ? 1 : 0);
        std::ofstream(readyFile).put('\n');
        if (c.skipped) {
            ASSERT_NE(qz::test::waitForFileText(childLog, "READY", 10s).find("READY"), std::string::npos);
        }
        EXPECT_EQ(exchange(*process, "late"), "late");
        EXPECT_EQ(log.count("Received ready signal from external process"), 1);
        processes.clear();
    }
}

TEST_F(ExternalProcessTransferTest, BrokenResponsesEndTheReceiveAndTheNextExchangeWorks) {
    struct Case {
        const char* behaviour;
        const char* warning;
    };
    for (const Case c : {Case{"biglength", "External process announced a message of 4294967295 bytes; closing the "
                                           "connection."},
                         Case{"garbage", "Warning! TCP read error from external process."},
                         Case{"crashmid", "Warning! TCP read error from external process."}}) {
        SCOPED_TRACE(c.behaviour);
        log.restart();
        auto* process = start(Transport::Tcp, c.behaviour);
        EXPECT_TRUE(process->sendInput({reinterpret_cast<const uint8_t*>("first"), 5}));
        EXPECT_EQ(receive(*process, 5000), std::nullopt);
        EXPECT_EQ(log.count(c.warning), 1);
        EXPECT_LT(process->receiveBufferCapacity(), 1u << 20);
        EXPECT_EQ(exchange(*process, "again"), "again");
    }
    for (const char* behaviour : {"biglength", "crashmid", "garbage"}) {
        SCOPED_TRACE(std::string("shared memory ") + behaviour);
        auto* process = start(Transport::SharedMemory, behaviour);
        if (std::string(behaviour) == "garbage") {
            EXPECT_EQ(receive(*process, 5000), std::nullopt);
            EXPECT_EQ(exchange(*process, "after garbage"), "after garbage");
            continue;
        }
        EXPECT_EQ(exchange(*process, "first", 1000), std::nullopt);
        if (std::string(behaviour) == "crashmid") {
            EXPECT_TRUE(process->waitUntilExited(5000));
        } else {
            EXPECT_EQ(exchange(*process, "second"), "second");
        }
    }
}

TEST_F(ExternalProcessTransferTest, SilentOrAbsentPeersBoundEverySend) {
    // Nothing listening: the connect fails within its second.
    auto* absent = start(Transport::Tcp, "echo");
    peers.clear();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(absent->sendInput(std::span<const uint8_t>()));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1100ms);
    EXPECT_EQ(log.count("Warning! Could not connect to external process at port"), 1);
    EXPECT_FALSE(absent->hasExited());

    // A peer that goes away: sends on the dead connection fail without a
    // SIGPIPE ending this process, and a later send connects afresh.
    auto* gone = start(Transport::Tcp, "echo");
    ASSERT_EQ(exchange(*gone, "hello"), "hello");
    peers.clear();
    // The peer's connection worker may take a moment to die after its group is killed.
    bool refused = false;
    for (const auto until = std::chrono::steady_clock::now() + 2s; !refused && std::chrono::steady_clock::now() < until;) {
        refused = !gone->sendInput({reinterpret_cast<const uint8_t*>("bye"), 3});
    }
    EXPECT_TRUE(refused);

    for (const Transport transport : kBoth) {
        SCOPED_TRACE(transportName(transport));
        log.restart();
        auto* process = start(transport, "neverread");
        const std::string small = "are you there";
        const bool delivered = process->sendInput({reinterpret_cast<const uint8_t*>(small.data()), small.size()});
        EXPECT_EQ(delivered, transport == Transport::Tcp);  // TCP hands it to the socket
        // Silence is no response, not a failure: no line.
        const int warnings = log.count("Warning");
        EXPECT_EQ(receive(*process, 200), std::nullopt);
        EXPECT_EQ(log.count("Warning"), warnings);
        if (transport == Transport::Tcp) {
            // The peer never reads: a frame far above the socket buffers cannot
            // go, and while it is not read later requests fail at once.
            const std::string big(25 << 20, 'b');
            begin = std::chrono::steady_clock::now();
            EXPECT_FALSE(process->sendInput({reinterpret_cast<const uint8_t*>(big.data()), big.size()}));
            EXPECT_LT(std::chrono::steady_clock::now() - begin, 4500ms);
            EXPECT_EQ(log.count("is not reading; requests fail until it does"), 1);
            begin = std::chrono::steady_clock::now();
            EXPECT_FALSE(process->sendInput({reinterpret_cast<const uint8_t*>(small.data()), small.size()}));
            EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
        }
    }
}

TEST_F(ExternalProcessTransferTest, CancelEndsAWaitingReceiveQuietly) {
    struct Case {
        Transport transport;
        bool connected;
    };
    for (const Case c : {Case{Transport::SharedMemory, true}, Case{Transport::Tcp, true}, Case{Transport::Tcp, false}}) {
        SCOPED_TRACE(std::string(transportName(c.transport)) + (c.connected ? "" : " before connecting"));
        log.restart();
        auto* process = start(c.transport, "echo");
        if (c.connected) {
            ASSERT_EQ(exchange(*process, "warm up"), "warm up");
        }
        std::latch receiving(1);
        std::chrono::steady_clock::time_point returnedAt;
        std::thread receiver([&] {
            receiving.count_down();
            EXPECT_EQ(process->receiveOutput(60000), std::nullopt);
            returnedAt = std::chrono::steady_clock::now();
        });
        receiving.wait();
        const auto cancelledAt = std::chrono::steady_clock::now();
        process->cancelReceive();
        receiver.join();
        EXPECT_LT(returnedAt - cancelledAt, 100ms);
        EXPECT_EQ(log.count("Warning"), 0);
    }
}
