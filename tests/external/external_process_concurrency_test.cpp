// Many senders and one receiver on one external process, and destruction
// racing the child's own exit.
#include <latch>
#include <random>
#include <set>
#include <thread>

#include "external/support/peer_fixture.h"

using qz::test::Transport;

namespace {

class ExternalProcessConcurrencyTest : public qz::test::PeerFixture {};

}  // namespace

TEST_F(ExternalProcessConcurrencyTest, EveryTaggedRequestComesBackExactlyOnce) {
    constexpr int kSenders = 8;
    constexpr int kPerSender = 200;
    for (const Transport transport : {Transport::SharedMemory, Transport::Tcp}) {
        SCOPED_TRACE(transportName(transport));
        auto* process = start(transport, "echo");
        ASSERT_NE(process, nullptr);
        // Wait for the child's ready signal before the senders race.
        ASSERT_EQ(exchange(*process, "warm up"), "warm up");

        std::multiset<std::string> received;
        std::thread receiver([&] {
            while (received.size() < kSenders * kPerSender) {
                const auto response = receive(*process, 10000);
                if (!response) break;
                received.insert(*response);
            }
        });
        std::latch go(kSenders);
        std::vector<std::thread> senders;
        std::atomic<int> failedSends{0};
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&, s] {
                go.arrive_and_wait();
                for (int i = 0; i < kPerSender; ++i) {
                    // Some bodies exceed one page, so segments grow under load.
                    const std::string tag = std::to_string(s) + ":" + std::to_string(i) + std::string(i % 7 * 1000, '.');
                    if (!process->sendInput({reinterpret_cast<const uint8_t*>(tag.data()), tag.size()})) ++failedSends;
                }
            });
        }
        for (auto& sender : senders) sender.join();
        receiver.join();
        EXPECT_EQ(failedSends.load(), 0);
        ASSERT_EQ(received.size(), size_t{kSenders * kPerSender});
        std::set<std::string> distinct(received.begin(), received.end());
        EXPECT_EQ(distinct.size(), received.size());
        for (int s = 0; s < kSenders; ++s) {
            EXPECT_TRUE(distinct.count(std::to_string(s) + ":0")) << s;
        }
    }
}

TEST_F(ExternalProcessConcurrencyTest, DestructionRacesTheChildsOwnExit) {
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 6; ++round) {
        const int exitAfterMs = std::uniform_int_distribution<int>(0, 300)(random);
        SCOPED_TRACE(exitAfterMs);
        auto* process = start(Transport::SharedMemory, "exit", {"--ms", std::to_string(exitAfterMs), "--code", "0"});
        ASSERT_NE(process, nullptr);
        processes.clear();  // the destructor runs while the child may be leaving
    }
    EXPECT_EQ(log.count("INFO: External process exited normally with code: 0"), 6);
}
