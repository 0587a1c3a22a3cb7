// 64 workers register, send, wait and remove against one peer that answers
// some requests, drops others and reorders the rest.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <thread>

#include "external/response_waiters.h"
#include "external/support/msgpack_walk.h"
#include "external/support/peer_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::MpEncoder;
using qz::test::Transport;
using namespace std::chrono_literals;

class ResponseWaitersConcurrencyTest : public qz::test::PeerFixture,
                                       public ::testing::WithParamInterface<Transport> {};

TEST_P(ResponseWaitersConcurrencyTest, EveryAnsweredWorkerGetsItsOwnBytes) {
    qzai::ExternalProcess* process = start(GetParam(), "mixed");
    qzai::ProcessorResponseWaiters waiters;
    std::jthread loop([&](std::stop_token token) { qzai::processorReceiveLoop(token, process, &waiters, 1000, "mixed"); });
    constexpr int kWorkers = 64;
    std::latch go(kWorkers);
    std::vector<std::string> got(kWorkers);
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.emplace_back([&, i] {
            const std::string tag = "tag-" + std::to_string(i);
            const std::string bytes =
                MpEncoder().map(3).str("Timestamp").sint(i).str("DeviceID").str("cam").str("Tag").str(tag).bytes();
            go.arrive_and_wait();
            auto waiter = waiters.registerWaiter(qzai::makeProcessorResponseKey("cam", i));
            if (!process->sendInput({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()})) {
                waiters.removeWaiter(waiter.ticket);
                return;
            }
            // Dropped requests (Timestamp % 4 == 3) wait out a short limit.
            if (waiter.future.wait_for(i % 4 == 3 ? 300ms : 20s) != std::future_status::ready) {
                waiters.removeWaiter(waiter.ticket);
                got[i] = "none";
                return;
            }
            const auto response = waiter.future.get();
            const auto root = qz::test::mpWalk({reinterpret_cast<const char*>(response.data()), response.size()});
            got[i] = root && root->at("Tag") ? root->at("Tag")->bytes : "?";
        });
    }
    for (auto& worker : workers) worker.join();
    for (int i = 0; i < kWorkers; ++i) EXPECT_EQ(got[i], i % 4 == 3 ? "none" : "tag-" + std::to_string(i)) << i;
    EXPECT_EQ(waiters.pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, ResponseWaitersConcurrencyTest,
                         ::testing::Values(Transport::SharedMemory, Transport::Tcp),
                         [](const auto& info) { return info.param == Transport::Tcp ? "Tcp" : "SharedMemory"; });
