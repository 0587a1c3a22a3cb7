#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "common/log.h"
#include "common/scoped_timer.h"
#include "support/log_capture.h"
#include "support/log_files.h"
#include "support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override {
        qzai::closeLog();
        qzai::setLogRotationThreshold(qzai::kLogRotationBytes);
        qzai::setLogVerbosity(1);
        qzai::setProfilingEnabled(false);
    }
    qz::test::TempDir dir;
};

uint64_t nowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

TEST_F(LogTest, LineHeadCarriesPrefixWallClockAndMicrosecondsSincePreviousLine) {
    const uint64_t before = nowMs();
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "AI Plugin: "));
    qzai::logMessage("Info: first %d\n", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    qzai::logMessage("Warning! second %s\n", "line");
    qzai::closeLog();
    const uint64_t after = nowMs();

    const auto lines = qz::test::readLogLines(dir.path() / qzai::kStartLogFileName);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex head(R"(AI Plugin: (\d+) (\d{9}): (.*))");
    std::smatch m1, m2;
    ASSERT_TRUE(std::regex_match(lines[0], m1, head)) << lines[0];
    ASSERT_TRUE(std::regex_match(lines[1], m2, head)) << lines[1];
    EXPECT_EQ(m1[3], "Info: first 1");
    EXPECT_EQ(m2[3], "Warning! second line");
    EXPECT_GE(std::stoull(m1[1]), before);
    EXPECT_LE(std::stoull(m2[1]), after);
    EXPECT_GE(std::stoull(m2[2]), 3000u);
    EXPECT_LT(std::stoull(m2[2]), 5'000'000u);
}

TEST_F(LogTest, VerbosityFiltersWithoutFormatting) {
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "P: "));
    qzai::setLogVerbosity(1);
    // A filtered line must not be formatted: this argument would crash it.
    qzai::logInfo("Info: %s\n", reinterpret_cast<const char*>(8));
    qzai::logMessage("Info: basic\n");
    qzai::setLogVerbosity(2);
    qzai::logInfo("Info: verbose\n");
    qzai::setLogVerbosity(0);
    qzai::logMessage("Error! %s\n", reinterpret_cast<const char*>(8));
    qzai::closeLog();
    const auto lines = qz::test::readLogLines(dir.path() / qzai::kStartLogFileName);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(": Info: basic"));
    EXPECT_TRUE(lines[1].ends_with(": Info: verbose"));
}

TEST_F(LogTest, LongLinesAreWrittenWhole) {
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "P: "));
    const std::string payload(5000, 'z');
    qzai::logMessage("Info: %s|\n", payload.c_str());
    qzai::closeLog();
    const auto lines = qz::test::readLogLines(dir.path() / qzai::kStartLogFileName);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with(": Info: " + payload + "|"));
}

// Every line is 50 bytes: 28 of head ("P: " + 13-digit ms + ' ' + 9 digits
// + ": ") and 22 of text. With a 200-byte threshold the start log takes lines
// 0-3, the main log 4-8 (it passes 200 with line 8 and moves to ".old"),
// then a fresh main log takes 9-11.
TEST_F(LogTest, StartLogHandsOverAndMainLogRotatesAtThreshold) {
    qzai::setLogRotationThreshold(200);
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "P: "));
    for (int i = 0; i < 12; ++i) qzai::logMessage("Info: line %02d xxxxxxx\n", i);
    qzai::closeLog();

    const auto numbers = [&](const std::string& name) {
        std::vector<int> found;
        for (const auto& line : qz::test::readLogLines(dir.path() / name)) {
            EXPECT_EQ(line.size(), 49u) << line;
            found.push_back(std::stoi(line.substr(line.find("line ") + 5, 2)));
        }
        return found;
    };
    EXPECT_EQ(numbers(qzai::kStartLogFileName), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(numbers(std::string(qzai::kMainLogFileName) + ".old"), (std::vector<int>{4, 5, 6, 7, 8}));
    EXPECT_EQ(numbers(qzai::kMainLogFileName), (std::vector<int>{9, 10, 11}));
}

TEST_F(LogTest, AMainLogThatCannotBeRenamedKeepsEveryLine) {
    // ".old" is a folder that is not empty: the rename fails every time.
    std::filesystem::create_directories(dir.path() / (std::string(qzai::kMainLogFileName) + ".old") / "busy");
    qzai::setLogRotationThreshold(200);
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "P: "));
    for (int i = 0; i < 12; ++i) qzai::logMessage("Info: line %02d xxxxxxx\n", i);
    qzai::closeLog();
    std::vector<int> numbers;
    for (const char* name : {qzai::kStartLogFileName, qzai::kMainLogFileName}) {
        for (const auto& line : qz::test::readLogLines(dir.path() / name)) {
            numbers.push_back(std::stoi(line.substr(line.find("line ") + 5, 2)));
        }
    }
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST_F(LogTest, LinesBeforeStartAndAfterCloseGoToStandardError) {
    qzai::closeLog();
    testing::internal::CaptureStderr();
    qzai::logMessage("Warning! after close %d\n", 42);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(": Warning! after close 42\n"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / qzai::kStartLogFileName));
}

TEST_F(LogTest, ScopedTimerLogsLapsAndTotalOnlyWhenProfiling) {
    ASSERT_TRUE(qzai::startLog(dir.path().string(), "P: "));
    { qzai::ScopedTimer quiet("quiet"); quiet.mark("ignored"); }
    qzai::setProfilingEnabled(true);
    {
        qzai::ScopedTimer timer("Decode");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        timer.mark("nms");
    }
    qzai::closeLog();
    const auto lines = qz::test::readLogLines(dir.path() / qzai::kStartLogFileName);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex timerLine(R"(P: \d+ \d{9}: \[Timer\] Decode::(\w+) \| \+(\d+) us \| total (\d+) us)");
    std::smatch first, second;
    ASSERT_TRUE(std::regex_match(lines[0], first, timerLine)) << lines[0];
    ASSERT_TRUE(std::regex_match(lines[1], second, timerLine)) << lines[1];
    EXPECT_EQ(first[1], "nms");
    EXPECT_EQ(second[1], "Decode");
    EXPECT_GE(std::stoll(first[2]), 2000);
    EXPECT_EQ(first[2], first[3]);  // the first lap is the whole time so far
    // Each figure is rounded down on its own.
    EXPECT_NEAR(std::stoll(second[3]), std::stoll(first[3]) + std::stoll(second[2]), 1);
}

TEST_F(LogTest, LineBreaksInValuesCannotForgeALine) {
    qz::test::LogCapture capture;
    struct Case {
        std::string value;
        std::string logged;
    };
    const Case cases[] = {
        {"cam1", "Device cam1: ok\n"},
        {"cam1\n1796634341828 000000001: Error! forged", "Device cam1\\n1796634341828 000000001: Error! forged: ok\n"},
        {"a\r\nb\n", "Device a\\r\\nb\\n: ok\n"},
    };
    for (const auto& c : cases) qzai::logMessage("Device %s: ok\n", c.value.c_str());
    // A format that spans lines on purpose keeps them.
    qzai::logMessage("Output:\n%s\n", "one\ntwo");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i], cases[i].logged);
    EXPECT_EQ(lines[3], "Output:\none\ntwo\n");
}
