#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "decoder_test_util.h"
#include "inference/decoders/search_helpers.h"

using namespace decoder_test;

namespace {

// Runs one job and checks that every piece ran exactly once.
void runAndCheck(qzai::SearchHelpers& helpers, int32_t pieces, int32_t wanted) {
    std::vector<std::atomic<int>> ran(static_cast<size_t>(pieces));
    helpers.run(pieces, wanted, [&](int32_t p) { ran[static_cast<size_t>(p)]++; });
    for (int32_t p = 0; p < pieces; ++p) EXPECT_EQ(ran[static_cast<size_t>(p)].load(), 1) << "piece " << p;
}

TEST(SearchHelpers, HelpersStartOnFirstNeedServeLaterJobsAndStartAgainAfterStop) {
    std::atomic<int> starts{0};
    qzai::SearchHelpers helpers(3, [&](std::function<void()> work) {
        ++starts;
        return std::thread(std::move(work));
    });
    runAndCheck(helpers, 40, 0);
    EXPECT_EQ(starts.load(), 0);
    for (int job = 0; job < 5; ++job) runAndCheck(helpers, 40, 3);
    EXPECT_EQ(starts.load(), 3);
    helpers.stop();
    runAndCheck(helpers, 40, 1);
    EXPECT_EQ(starts.load(), 4);
}

TEST(SearchHelpers, EveryHelperWakesWhilePiecesRemain) {
    // Each piece waits until all four run at once: only the caller and three
    // helpers together can finish the job.
    qzai::SearchHelpers helpers(3, [](std::function<void()> work) { return std::thread(std::move(work)); });
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    std::atomic<int> metAll{0};
    helpers.run(4, 3, [&](int32_t) {
        std::unique_lock<std::mutex> lock(mutex);
        ++inside;
        changed.notify_all();
        if (changed.wait_for(lock, std::chrono::seconds(60), [&] { return inside == 4; })) ++metAll;
    });
    EXPECT_EQ(metAll.load(), 4);
}

TEST(SearchHelpers, AHelperThatCannotStartIsReportedOnceUntilStop) {
    int starts = 0;
    qzai::SearchHelpers helpers(2, [&starts](std::function<void()>) -> std::thread {
        ++starts;
        throw std::runtime_error("no threads");
    });
    LogCapture log;
    runAndCheck(helpers, 8, 2);
    runAndCheck(helpers, 8, 2);
    EXPECT_EQ(starts, 1);
    ASSERT_EQ(log.warnings.size(), 1u);
    EXPECT_EQ(log.warnings[0],
              "Warning! [AnchorFreeYolo] Could not start a search thread (no threads); searching on the "
              "calling thread.\n");
    helpers.stop();
    runAndCheck(helpers, 8, 2);
    EXPECT_EQ(starts, 2);
}

}  // namespace
