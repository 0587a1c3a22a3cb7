#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/run_command.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

struct Outcome {
    qzai::CommandOutput result;
    bool timed = false;
};

}  // namespace

TEST(RunCommandConcurrency, ParallelCommandsKeepTheirOwnOutputAndDescriptors) {
    constexpr int kThreads = 8;
    std::vector<Outcome> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i, &outcomes] {
            Outcome& outcome = outcomes[static_cast<size_t>(i)];
            // Each child names itself many times and lists the descriptors it holds.
            const std::string mark = "child-" + std::to_string(i);
            std::string script = "for n in 1 2 3 4 5 6 7 8 9 10; do echo " + mark + "; done; ls /proc/$$/fd";
            qzai::RunOptions options;
            if (i % 3 == 2) {  // some run over their time-out
                script += "; exec sleep 1000";
                options.timeout = std::chrono::milliseconds(200);
                outcome.timed = true;
            } else {
                options.timeout = std::chrono::seconds(60);
            }
            outcome.result = qzai::runCommand({"sh", "-c", script}, options);
        });
    }
    for (auto& thread : threads) thread.join();

    for (int i = 0; i < kThreads; ++i) {
        const Outcome& outcome = outcomes[static_cast<size_t>(i)];
        if (outcome.timed) {
            EXPECT_EQ(outcome.result.exitCode, -1) << i;
            EXPECT_EQ(outcome.result.output, "") << i;
            continue;
        }
        EXPECT_EQ(outcome.result.exitCode, 0) << i;
        std::istringstream lines(outcome.result.output);
        std::string line;
        int marks = 0;
        std::set<std::string> descriptors;
        while (std::getline(lines, line)) {
            if (line == "child-" + std::to_string(i)) {
                ++marks;
            } else {
                descriptors.insert(line);  // anything else must be a descriptor of the child
            }
        }
        EXPECT_EQ(marks, 10) << i;
        EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"})) << i << ": " << outcome.result.output;
    }
    // Every child was reaped: the test process has none left.
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
