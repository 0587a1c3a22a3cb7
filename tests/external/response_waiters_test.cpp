// Response matching: the key reader, the waiters, and the receive loop
// against the real peer over both transports.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <new>
#include <numeric>
#include <thread>

#include "common/support/log_capture.h"
#include "external/response_waiters.h"
#include "external/support/msgpack_walk.h"
#include "external/support/peer_fixture.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::LogCapture;
using qz::test::MpEncoder;
using qz::test::Transport;
using namespace std::chrono_literals;

namespace {

std::span<const uint8_t> bytesOf(const std::string& bytes) {
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

std::string request(int64_t timestamp, const std::string& tag, const std::string& device = "cam-1") {
    return MpEncoder().map(3).str("Timestamp").sint(timestamp).str("DeviceID").str(device).str("Tag").str(tag).bytes();
}

std::string tagOf(const std::vector<uint8_t>& bytes) {
    const auto root = qz::test::mpWalk({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    return root && root->at("Tag") ? root->at("Tag")->bytes : std::string("?");
}

}  // namespace

TEST(ResponseKeyTest, KeysComeFromTheIdentity) {
    EXPECT_EQ(qzai::makeProcessorResponseKey("cam-1", 42), "cam-1|42");
    EXPECT_EQ(qzai::makeProcessorResponseKey("cam-1", -5), "cam-1|-5");
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<std::string> key;
    };
    const Case cases[] = {
        {"smallest encodings", request(42, "t"), "cam-1|42"},
        {"number as DeviceID", MpEncoder().map(2).str("Timestamp").uint(42).str("DeviceID").uint(3).bytes(), "|42"},
        {"no Timestamp", MpEncoder().map(1).str("DeviceID").str("cam-1").bytes(), std::nullopt},
        {"float Timestamp", MpEncoder().map(2).str("Timestamp").f64(1).str("DeviceID").str("c").bytes(), std::nullopt},
        {"Timestamp above int64",
         MpEncoder().map(2).str("Timestamp").uint(uint64_t{1} << 63).str("DeviceID").str("c").bytes(), std::nullopt},
        {"root not a map", MpEncoder().array(0).bytes(), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(qzai::readProcessorResponseKey(bytesOf(c.bytes)), c.key) << c.what;
}

TEST(ResponseWaitersTest, AKeysAnswersGoToItsRequestsInSendOrder) {
    // Three requests of one key answered 1, 2, 3 in order, then a stray 9;
    // the ones marked gave up (timed out) before any answer came, twice over
    // for the last row.
    struct Case {
        const char* what;
        bool givenUp[3];
        int removals;
    };
    const Case cases[] = {
        {"all wait", {false, false, false}, 1},
        {"the first timed out", {true, false, false}, 1},
        {"the middle one timed out", {false, true, false}, 1},
        {"the first two timed out, each given up twice", {true, true, false}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qzai::ProcessorResponseWaiters waiters;
        std::vector<qzai::ProcessorResponseWaiters::Waiter> sent;
        for (int i = 0; i < 3; ++i) sent.push_back(waiters.registerWaiter("k"));
        for (int i = 0; i < 3; ++i)
            for (int r = 0; r < c.removals && c.givenUp[i]; ++r) waiters.removeWaiter(sent[i].ticket);
        for (uint8_t answer : {1, 2, 3, 9}) waiters.fulfil("k", std::vector<uint8_t>{answer});
        for (int i = 0; i < 3; ++i) {
            if (c.givenUp[i]) {
                EXPECT_THROW(sent[i].future.get(), std::future_error) << i;
            } else {
                EXPECT_EQ(sent[i].future.get(), std::vector<uint8_t>{static_cast<uint8_t>(i + 1)}) << i;
            }
        }
        EXPECT_EQ(waiters.pending(), 0u);
        EXPECT_EQ(waiters.keysHeld(), 0u);
    }
}

TEST(ResponseWaitersTest, AFailedSendClosesItsKeyAndGivenUpKeysAreBounded) {
    qzai::ProcessorResponseWaiters waiters;
    const auto later = std::chrono::steady_clock::now() + 10s;
    int sends = 0;
    auto send = [&](bool ok) { return [&sends, ok] { return ++sends, ok; }; };
    auto first = waiters.sendRequest("k", later, send(true));
    ASSERT_TRUE(first);
    // Whether the processor got the failed request is unknown: no later
    // request of the key is sent, and every later answer is dropped.
    EXPECT_FALSE(waiters.sendRequest("k", later, send(false)));
    EXPECT_FALSE(waiters.sendRequest("k", later, send(true)));
    EXPECT_EQ(sends, 2);
    auto other = waiters.sendRequest("j", later, send(true));
    ASSERT_TRUE(other);
    waiters.fulfil("k", std::vector<uint8_t>{1});
    waiters.fulfil("k", std::vector<uint8_t>{2});
    waiters.fulfil("j", std::vector<uint8_t>{3});
    EXPECT_EQ(first->future.get(), std::vector<uint8_t>{1});
    EXPECT_EQ(other->future.get(), std::vector<uint8_t>{3});
    // Requests given up and never answered are forgotten, oldest first.
    const size_t many = qzai::ProcessorResponseWaiters::kMaxIdleKeys + 8;
    for (size_t i = 0; i < many; ++i) waiters.removeWaiter(waiters.registerWaiter("g" + std::to_string(i)).ticket);
    EXPECT_EQ(waiters.keysHeld(), qzai::ProcessorResponseWaiters::kMaxIdleKeys);
    waiters.fulfil("g" + std::to_string(many - 1), std::vector<uint8_t>{4});
    EXPECT_EQ(waiters.keysHeld(), qzai::ProcessorResponseWaiters::kMaxIdleKeys - 1);
    EXPECT_EQ(waiters.pending(), 0u);
}

TEST(ResponseWaitersTest, ReadersHandOnTheirOwnValueAndAFailedReadBreaksOnlyItsWaiter) {
    qzai::ProcessorResponseWaiters waiters;
    auto sum = waiters.registerReader("k", [](std::span<const uint8_t> bytes) {
        return std::accumulate(bytes.begin(), bytes.end(), 0);
    });
    auto outOfMemory = waiters.registerReader("k", [](std::span<const uint8_t>) -> int { throw std::bad_alloc(); });
    auto plain = waiters.registerWaiter("k");
    std::vector<uint8_t> transport{1, 2, 3};
    for (int i = 0; i < 3; ++i) waiters.fulfil("k", transport);
    transport.assign(3, 9);  // the transport reuses its memory
    EXPECT_EQ(sum.future.get(), 6);
    EXPECT_THROW(outOfMemory.future.get(), std::future_error);
    EXPECT_EQ(plain.future.get(), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(waiters.pending(), 0u);
}

class ReceiveLoopTest : public qz::test::PeerFixture, public ::testing::WithParamInterface<Transport> {
protected:
    // Starts the receive loop on a peer; `ended` becomes ready when it returns.
    void run(const std::string& behaviour, std::vector<std::string> options = {}, uint32_t timeoutMs = 5000) {
        process = start(GetParam(), behaviour, std::move(options));
        ended = done.get_future();
        loop = std::jthread([this, timeoutMs](std::stop_token token) {
            qzai::processorReceiveLoop(token, process, &waiters, timeoutMs, "proc");
            done.set_value();
        });
    }
    void TearDown() override {
        loop = {};
        PeerFixture::TearDown();
    }
    qzai::ProcessorResponseWaiters::Waiter send(int64_t timestamp, const std::string& tag) {
        auto waiter = waiters.registerWaiter(qzai::makeProcessorResponseKey("cam-1", timestamp));
        const std::string bytes = request(timestamp, tag);
        EXPECT_TRUE(process->sendInput(bytesOf(bytes)));
        return waiter;
    }
    static std::string awaitTag(qzai::ProcessorResponseWaiters::Waiter& waiter) {
        if (waiter.future.wait_for(10s) != std::future_status::ready) return "timed out";
        return tagOf(waiter.future.get());
    }

    LogCapture sink{2};
    qzai::ExternalProcess* process = nullptr;
    qzai::ProcessorResponseWaiters waiters;
    std::promise<void> done;
    std::future<void> ended;
    std::jthread loop;
};

TEST_P(ReceiveLoopTest, UnmatchedResponsesAreDroppedAndTheNextStillArrives) {
    struct Case {
        const char* behaviour;
        size_t warnings;
    };
    for (const Case c : {Case{"numberid", 0}, Case{"otherid", 0}, Case{"noidentity", 1}, Case{"mpgarbage", 1}}) {
        SCOPED_TRACE(c.behaviour);
        sink.clear();
        run(c.behaviour, {"--only", "1"});
        auto dropped = send(1, "a");
        auto next = send(2, "b");
        EXPECT_EQ(awaitTag(next), "b");
        EXPECT_EQ(dropped.future.wait_for(0s), std::future_status::timeout);
        waiters.removeWaiter(dropped.ticket);
        EXPECT_EQ(sink.count("Warning: Could not read DeviceID/Timestamp from processor proc response. Dropping it."),
                  c.warnings);
        EXPECT_EQ(waiters.pending(), 0u);
        loop = {};
        processes.clear();
        peers.clear();
        done = {};
    }
}

TEST_P(ReceiveLoopTest, ReorderedAndSharedKeyResponsesReachTheirOwnWaiters) {
    run("reverse", {"--k", "8"});
    std::vector<qzai::ProcessorResponseWaiters::Waiter> batch;
    for (int i = 0; i < 8; ++i) batch.push_back(send(100 + i, "r" + std::to_string(i)));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(awaitTag(batch[i]), "r" + std::to_string(i));
    // One key three times: answered in order, served oldest first.
    std::vector<qzai::ProcessorResponseWaiters::Waiter> same;
    for (int i = 0; i < 8; ++i) same.push_back(send(7, "s" + std::to_string(i)));
    // The peer reverses the batch, so the oldest waiter gets the last sent.
    for (int i = 0; i < 8; ++i) EXPECT_EQ(awaitTag(same[i]), "s" + std::to_string(7 - i));
}

TEST_P(ReceiveLoopTest, StopEndsTheLoopPromptlyWhateverTheTimeOut) {
    run("echo", {}, 60000);
    auto waiter = send(1, "x");
    EXPECT_EQ(awaitTag(waiter), "x");
    loop.request_stop();
    EXPECT_EQ(ended.wait_for(2s), std::future_status::ready);
}

TEST_P(ReceiveLoopTest, AChildThatExitsEndsTheLoop) {
    if (GetParam() == Transport::Tcp) GTEST_SKIP() << "a TCP peer has no child process";
    run("exit", {"--code", "0"});
    auto waiter = waiters.registerWaiter("cam-1|1");
    EXPECT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiter.future.wait_for(0s), std::future_status::timeout);
    waiters.removeWaiter(waiter.ticket);
    EXPECT_EQ(waiters.pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, ReceiveLoopTest, ::testing::Values(Transport::SharedMemory, Transport::Tcp),
                         [](const auto& info) { return info.param == Transport::Tcp ? "Tcp" : "SharedMemory"; });
