// The shared-memory channel with both ends in this process: the opened end
// runs on a second thread the way a child would.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <latch>
#include <regex>
#include <thread>
#include <vector>

#include "external/ipc_channel.h"
#include "external/support/external_support.h"
#include "platform/futex_event.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using namespace std::chrono_literals;

namespace {

// A created channel and its opened end, both ready.
struct ChannelPair {
    ChannelPair() {
        created = qzai::ipcChannelCreate(1024);
        char* text = qzai::ipcChannelSerializeDescriptor(created);
        descriptor = text;
        std::free(text);
        opened = qzai::ipcChannelOpen(descriptor.c_str());
        qzai::ipcChannelSignalReady(opened);
        qzai::ipcChannelWaitReady(created, 1000);
    }
    ~ChannelPair() {
        qzai::ipcChannelDestroy(opened);
        qzai::ipcChannelDestroy(created);
    }
    // Signals `byte` from the opened end, as a child would.
    void childSignals(uint8_t byte) {
        std::atomic_ref<uint8_t>(*opened->slot1).store(byte);
        qzai::futexEventSet(word(opened->event1));
    }
    uint32_t* word(uintptr_t offset) const {
        return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(created->control.view) + offset);
    }
    qzai::IpcChannel* created = nullptr;
    qzai::IpcChannel* opened = nullptr;
    std::string descriptor;
};

class IpcChannelTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& name : names) EXPECT_FALSE(qz::test::shmNameExists(name)) << name;
    }
    std::unique_ptr<ChannelPair> makePair() {
        auto pair = std::make_unique<ChannelPair>();
        EXPECT_NE(pair->opened, nullptr);
        for (const auto& name : qz::test::shmNamesInDescriptor(pair->descriptor)) names.insert(name);
        return pair;
    }
    // The opened end takes one message, copies it and acknowledges it.
    std::thread childReceivesOne(ChannelPair& pair, std::vector<uint8_t>& into, int& result) {
        return std::thread([&pair, &into, &result] {
            const uint8_t* message = nullptr;
            uint32_t length = 0;
            result = qzai::ipcChannelReceive(pair.opened, &message, &length, 5000);
            if (result == qzai::kIpcOk) into.assign(message, message + length);
            qzai::ipcChannelAcknowledge(pair.opened);
        });
    }
    qz::test::CapturedLog log;
    std::set<std::string> names;
};

std::vector<uint8_t> patternedBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

}  // namespace

TEST_F(IpcChannelTest, MessagesArriveWholeAndGrowTheSegmentOnlyPastOnePage) {
    struct Case {
        size_t size;
        bool grows;
    };
    for (const Case c : {Case{0, false}, Case{4000, false}, Case{4092, false}, Case{5000, true}}) {
        SCOPED_TRACE(c.size);
        auto pair = makePair();
        const int reallocationsBefore = log.count("Reallocating buffer");
        const auto sent = patternedBytes(c.size);
        std::vector<uint8_t> received;
        int result = -1;
        std::thread child = childReceivesOne(*pair, received, result);
        EXPECT_EQ(qzai::ipcChannelSend(pair->created, sent.data(), static_cast<uint32_t>(sent.size())), qzai::kIpcOk);
        child.join();
        EXPECT_EQ(result, qzai::kIpcOk);
        EXPECT_EQ(received, sent);
        EXPECT_EQ(log.count("Reallocating buffer") - reallocationsBefore, c.grows ? 1 : 0);
        EXPECT_EQ(pair->created->data.capacity, c.grows ? 8192u : 4096u);
    }
}

TEST_F(IpcChannelTest, AGrowthFaultsInOnlyThePagesItAdds) {
    // The sender faults each page of the data segment in the first time it
    // writes it; after a growth it still has those it wrote before.
    auto pair = makePair();
    auto sendOne = [&](size_t size) {
        const auto sent = patternedBytes(size);
        std::vector<uint8_t> received;
        int result = -1;
        std::thread child = childReceivesOne(*pair, received, result);
        rusage before{};
        ::getrusage(RUSAGE_THREAD, &before);
        EXPECT_EQ(qzai::ipcChannelSend(pair->created, sent.data(), static_cast<uint32_t>(size)), qzai::kIpcOk);
        rusage after{};
        ::getrusage(RUSAGE_THREAD, &after);
        child.join();
        EXPECT_EQ(received, sent);
        return after.ru_minflt - before.ru_minflt;
    };
    const long pages = (1 << 20) / ::sysconf(_SC_PAGESIZE);
    sendOne(1 << 20);
    EXPECT_LT(sendOne(2 << 20), pages + pages / 2);  // 2 x pages when it maps them all again
}

TEST_F(IpcChannelTest, MessageAboveTheReserveIsRefusedAndSmallerOnesStillPass) {
    auto pair = makePair();
    // Never touched, so it costs no memory.
    const size_t huge = size_t{qzai::kIpcMaxMessageBytes} + 1;
    void* source = ::mmap(nullptr, huge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(source, MAP_FAILED);
    EXPECT_EQ(qzai::ipcChannelSend(pair->created, source, static_cast<uint32_t>(huge)), qzai::kIpcInvalid);
    ::munmap(source, huge);
    EXPECT_EQ(log.count("Error: Could not realloc shared memory"), 1);
    EXPECT_EQ(pair->created->data.capacity, 4096u);
    EXPECT_TRUE(pair->created->data.attached);

    const auto sent = patternedBytes(100);
    std::vector<uint8_t> received;
    int result = -1;
    std::thread child = childReceivesOne(*pair, received, result);
    EXPECT_EQ(qzai::ipcChannelSend(pair->created, sent.data(), 100), qzai::kIpcOk);
    child.join();
    EXPECT_EQ(received, sent);
}

TEST_F(IpcChannelTest, ReceiveSkipsReadyAndRefusesOtherBytes) {
    struct Case {
        uint8_t first;  // signalled before the data notice (0: none)
        uint8_t byte;
        qzai::IpcResult expected;
    };
    for (const Case c : {Case{4, 1, qzai::kIpcOk}, Case{0, 5, qzai::kIpcUnexpected}, Case{0, 9, qzai::kIpcUnexpected},
                         Case{0, 0, qzai::kIpcUnexpected}}) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        auto pair = makePair();
        std::memcpy(pair->opened->data.view, "\x03\0\0\0abc", 7);
        const pid_t receiver = ::gettid();
        std::thread child([&] {
            if (c.first != 0) {
                pair->childSignals(c.first);
                // Let the receive take the first signal and wait again before the second.
                uint32_t* event = pair->word(pair->opened->event1);
                const auto giveUp = std::chrono::steady_clock::now() + 5s;
                while ((std::atomic_ref<uint32_t>(*event).load() != 0 || !qz::test::threadIsSleeping(receiver)) &&
                       std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::yield();
                }
            }
            pair->childSignals(c.byte);
        });
        const uint8_t* message = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(qzai::ipcChannelReceive(pair->created, &message, &length, 5000), c.expected);
        child.join();
        if (c.expected == qzai::kIpcOk) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(message), length), "abc");
        }
    }
}

TEST_F(IpcChannelTest, LengthsTheSegmentCannotHoldAreAcknowledgedAndDropped) {
    struct Case {
        uint32_t length;
        bool shrink;  // the child tries to shrink the object below the mapped capacity
    };
    for (const Case c : {Case{4093, false}, Case{0xFFFFFFFF, false}, Case{10, true}}) {
        SCOPED_TRACE(c.length);
        auto pair = makePair();
        std::memcpy(pair->opened->data.view, &c.length, 4);
        if (c.shrink) {
            // The segments are sealed: pages mapped here cannot be taken away.
            ASSERT_EQ(::ftruncate(pair->opened->data.handle, 0), -1);
            EXPECT_EQ(errno, EPERM);
            ASSERT_EQ(::ftruncate(pair->created->control.handle, 0), -1);
            continue;
        }
        const int before = log.count("does not fit the shared memory (capacity 4096)");
        pair->childSignals(1);
        const uint8_t* message = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(qzai::ipcChannelReceive(pair->created, &message, &length, 5000), qzai::kIpcInvalid);
        EXPECT_EQ(log.count("does not fit the shared memory (capacity 4096)") - before, 1);
        // The child is told the segment is free again.
        EXPECT_EQ(qzai::futexEventWait(pair->word(pair->opened->event0), 0), qzai::FutexWaitResult::Set);
        EXPECT_EQ(*pair->opened->slot0, 0);
    }
}

TEST_F(IpcChannelTest, LateAcknowledgementIsAwaitedBeforeTheDataSegmentIsReused) {
    for (const bool ackComes : {true, false}) {
        SCOPED_TRACE(ackComes);
        auto pair = makePair();
        std::latch sendTimedOut(1);
        std::latch done(1);
        std::vector<uint8_t> first;
        std::thread child([&] {
            const uint8_t* message = nullptr;
            uint32_t length = 0;
            qzai::ipcChannelReceive(pair->opened, &message, &length, 5000);
            first.assign(message, message + length);
            sendTimedOut.wait();
            if (ackComes) qzai::ipcChannelAcknowledge(pair->opened);
            done.wait();
        });
        EXPECT_EQ(qzai::ipcChannelSend(pair->created, "first", 5), qzai::kIpcTimeout);
        sendTimedOut.count_down();
        if (ackComes) {
            std::vector<uint8_t> second;
            int result = -1;
            done.count_down();
            child.join();
            child = childReceivesOne(*pair, second, result);
            EXPECT_EQ(qzai::ipcChannelSend(pair->created, "second", 6), qzai::kIpcOk);
            child.join();
            EXPECT_EQ(std::string(second.begin(), second.end()), "second");
            EXPECT_EQ(log.count("Warning! Discarded stale signal 0 left over from an abandoned exchange."), 1);
        } else {
            EXPECT_EQ(qzai::ipcChannelSend(pair->created, "second", 6), qzai::kIpcTimeout);
            // The child may still be reading the first message: it is untouched.
            EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(pair->opened->data.view) + 4, "first", 5), 0);
            done.count_down();
            child.join();
        }
        EXPECT_EQ(std::string(first.begin(), first.end()), "first");
    }
}

TEST_F(IpcChannelTest, DescriptorNamesTwoWordsAndTwoSegmentsAndOpeningChecksIt) {
    auto pair = makePair();
    EXPECT_TRUE(std::regex_match(
        pair->descriptor,
        std::regex(R"(^0x[0-9a-f]+\|0x[0-9a-f]+\|/proc/self/fd/[0-9]+\|/proc/self/fd/[0-9]+$)")));
    const std::string names = pair->descriptor.substr(pair->descriptor.find("|/proc") + 1);
    const std::string control = names.substr(0, names.find('|'));
    for (const std::string& bad : {std::string("0x8|0xc|") + control, "0x9|0xc|" + names, "0x8|0x8|" + names,
                                  "0x0|0xc|" + names, "0x8|0x1000|" + names, "0x8|zz|" + names,
                                  "0x8|0xc|Global_RandomSHM_00000000|" + control, "0x8|0xc|/proc/self/fd/999999|" + control}) {
        SCOPED_TRACE(bad);
        qzai::IpcChannel* channel = qzai::ipcChannelOpen(bad.c_str());
        EXPECT_EQ(channel, nullptr);
        qzai::ipcChannelDestroy(channel);
    }
    EXPECT_EQ(qzai::ipcChannelOpen(nullptr), nullptr);
}
