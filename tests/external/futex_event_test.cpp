// The auto-reset event in a shared word: sets collapse, a wait takes the
// event, and time-outs neither wrap nor overflow.
#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <thread>

#include "platform/futex_event.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using Result = qzai::FutexWaitResult;

TEST(FutexEventTest, SetsCollapseAndEachWaitTakesTheEvent) {
    struct Case {
        int sets;
        int64_t timeoutMs;
        Result first;
        Result second;
    };
    for (const Case c : {Case{0, 0, Result::TimedOut, Result::TimedOut}, Case{1, 0, Result::Set, Result::TimedOut},
                         Case{3, 0, Result::Set, Result::TimedOut}, Case{2, 20, Result::Set, Result::TimedOut}}) {
        SCOPED_TRACE(c.sets);
        alignas(4) uint32_t word = 0;
        for (int i = 0; i < c.sets; ++i) EXPECT_TRUE(qzai::futexEventSet(&word));
        EXPECT_EQ(qzai::futexEventWait(&word, c.timeoutMs), c.first);
        EXPECT_EQ(qzai::futexEventWait(&word, c.timeoutMs), c.second);
    }
}

TEST(FutexEventTest, LongAndUnlimitedWaitsEndWhenTheEventIsSet) {
    // A deadline computed without saturation would lie in the past (or wrap
    // to "no limit" the other way) and end the wait at once.
    for (const int64_t timeoutMs : {int64_t{-1}, int64_t{INT32_MAX}, INT64_MAX}) {
        SCOPED_TRACE(timeoutMs);
        alignas(4) uint32_t word = 0;
        std::latch waiting(1);
        std::thread setter([&] {
            waiting.wait();
            qzai::futexEventSet(&word);
        });
        waiting.count_down();
        EXPECT_EQ(qzai::futexEventWait(&word, timeoutMs), Result::Set);
        setter.join();
    }
}
