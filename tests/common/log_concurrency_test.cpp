// Many threads writing to the log at once: every line arrives whole, in each
// thread's order, and nothing is lost.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <thread>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "support/log_files.h"
#include "support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 300;

void writeLines(int thread) {
    for (int i = 0; i < kLinesPerThread; ++i) {
        // Some lines exceed the log's stack buffer and take the heap path.
        const std::string payload(static_cast<size_t>((i * 37 + thread * 11) % 1500), static_cast<char>('a' + thread));
        qzai::logMessage("Info: t%d n%d %s|\n", thread, i, payload.c_str());
    }
}

// Checks each line's shape; returns the line numbers per thread in file order.
std::map<int, std::vector<int>> parse(const std::vector<std::string>& lines) {
    const std::regex shape(R"(C: \d+ \d{9}: Info: t(\d) n(\d+) ([a-z]*)\|)");
    std::map<int, std::vector<int>> seen;
    for (const auto& line : lines) {
        std::smatch m;
        if (!std::regex_match(line, m, shape)) {
            ADD_FAILURE() << "torn line: " << line.substr(0, 120);
            continue;
        }
        const int thread = std::stoi(m[1]);
        const int number = std::stoi(m[2]);
        EXPECT_EQ(m[3].length(), static_cast<size_t>((number * 37 + thread * 11) % 1500));
        EXPECT_EQ(m[3].str().find_first_not_of(static_cast<char>('a' + thread)), std::string::npos);
        seen[thread].push_back(number);
    }
    return seen;
}

void runWriters() {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(writeLines, t);
    for (auto& thread : threads) thread.join();
}

}  // namespace

TEST(LogConcurrency, ManyThreadsWriteWholeLinesInOrder) {
    qz::test::TempDir dir;
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "C: "));
    runWriters();
    qzai::closeLog();
    const auto seen = parse(qz::test::readLogLines(dir.path() / qzai::kStartLogFileName));
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
    for (const auto& [thread, numbers] : seen) {
        ASSERT_EQ(numbers.size(), static_cast<size_t>(kLinesPerThread)) << thread;
        for (int i = 0; i < kLinesPerThread; ++i) EXPECT_EQ(numbers[static_cast<size_t>(i)], i);
    }
}

TEST(LogConcurrency, RotationUnderLoadKeepsLinesWhole) {
    qz::test::TempDir dir;
    qzai::setLogRotationThreshold(64 * 1024);
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "C: "));
    runWriters();
    qzai::closeLog();
    qzai::setLogRotationThreshold(qzai::kLogRotationBytes);
    const std::string old = std::string(qzai::kMainLogFileName) + ".old";
    for (const std::string& name : {std::string(qzai::kStartLogFileName), old}) {
        const auto lines = qz::test::readLogLines(dir.path() / name);
        EXPECT_FALSE(lines.empty()) << name;
        parse(lines);
    }
    // The main log may have just rotated and be empty.
    parse(qz::test::readLogLines(dir.path() / qzai::kMainLogFileName));
}

TEST(LogConcurrency, NoticesAndLogFromManyThreads) {
    qzai::MessagingManager manager;
    qzai::setLogVerbosity(0);  // keep standard error quiet
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&manager, t] {
            const std::string id = "NOTICE_" + std::to_string(t % 3);
            for (int i = 0; i < 200; ++i) {
                manager.addMessage(id, "text " + std::to_string(i),
                                   i % 2 ? qzai::MessagingManager::MessageType::Warning
                                         : qzai::MessagingManager::MessageType::Info);
                if (i % 7 == 0) manager.removeMessage(id);
                if (i % 11 == 0) manager.clearWarnings();
                (void)manager.messages();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    qzai::setLogVerbosity(1);
    EXPECT_LE(manager.messages().size(), 3u);
}
