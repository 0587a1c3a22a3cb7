#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "common/run_command.h"
#include "common/support/log_capture.h"
#include "common/support/process_state.h"
#include "common/support/temp_dir.h"
#include "platform/process.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

TEST(RunCommand, ReturnsExitCodeAndMergedOutput) {
    const auto ok = qzai::runCommandCaptureOutput("sh -c \"echo out; echo err 1>&2; echo again\"");
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.output, "out\nerr\nagain\n");

    const auto failing = qzai::runCommandCaptureOutput("sh -c \"printf partial; exit 7\"");
    EXPECT_EQ(failing.exitCode, 7);
    EXPECT_EQ(failing.output, "partial");

    const auto killed = qzai::runCommandCaptureOutput("sh -c \"kill -9 $$\"");
    EXPECT_EQ(killed.exitCode, 128 + 9);
}

TEST(RunCommand, NoShellIsInvolved) {
    // Shell syntax reaches the program as plain arguments.
    const auto result = qzai::runCommandCaptureOutput("echo $HOME ; \"a  b\" 'c'");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "$HOME ; a  b 'c'\n");
}

TEST(RunCommand, MissingProgramGivesMinusOneAndEmptyText) {
    for (const char* line : {"/nonexistent/program --flag", "qzai-no-such-program-anywhere", "", "   "}) {
        const auto result = qzai::runCommandCaptureOutput(line);
        EXPECT_EQ(result.exitCode, -1) << line;
        EXPECT_EQ(result.output, "") << line;
    }
}

TEST(RunCommand, SplitsCommandLineWithDoubleQuotes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(qzai::splitCommandLine("  tar  -xzf\t\"/tmp/my file.tar.gz\" -C dir "),
              (V{"tar", "-xzf", "/tmp/my file.tar.gz", "-C", "dir"}));
    EXPECT_EQ(qzai::splitCommandLine("a\"b c\"d \"\" e"), (V{"ab cd", "", "e"}));
    EXPECT_EQ(qzai::splitCommandLine(R"(x "say \"hi\"" C:\path\to)"), (V{"x", "say \"hi\"", R"(C:\path\to)"}));
    EXPECT_EQ(qzai::splitCommandLine("\"unterminated arg"), (V{"unterminated arg"}));
    EXPECT_TRUE(qzai::splitCommandLine(" \t ").empty());
}

TEST(ChildProcess, WaitForTimesOutAndDestructorKillsTheChild) {
    std::string error;
    auto child = qzai::ChildProcess::start({"sleep", "30"}, false, &error);
    ASSERT_TRUE(child) << error;
    const pid_t pid = child->pid();
    EXPECT_FALSE(child->waitFor(std::chrono::milliseconds(20)));
    child.reset();
    EXPECT_NE(::kill(pid, 0), 0);  // killed and reaped: the pid is gone
}

namespace {

std::string writeScript(const qz::test::TempDir& dir, const std::string& name, const std::string& body,
                        mode_t mode = 0755) {
    const std::string path = dir.write(name, body);
    ::chmod(path.c_str(), mode);
    return path;
}

}  // namespace

TEST(RunCommand, ProgramIsLookedUpInTheGivenEnvironment) {
    qz::test::TempDir first, second;
    writeScript(first, "qzai-tool", "#!/bin/sh\necho first\n", 0644);  // not executable: skipped
    writeScript(second, "qzai-tool", "#!/bin/sh\necho \"second $1 $QZAI_MARK\"\n");
    writeScript(second, "qzai-no-shebang", "echo never\n");
    const std::string path = first.path().string() + "::" + second.path().string() + ":/usr/bin:/bin";

    struct Row {
        std::vector<std::string> argv;
        std::vector<std::string> environment;
        int exitCode;
        std::string output;
    };
    const Row rows[] = {
        {{"qzai-tool", "x"}, {"PATH=" + path, "QZAI_MARK=m"}, 0, "second x m\n"},
        // The parent's PATH does not hold the tool, nor does an environment without PATH.
        {{"qzai-tool"}, {"QZAI_MARK=m"}, -1, ""},
        {{"qzai-no-shebang"}, {"PATH=" + path}, -1, ""},
        {{"sh", "-c", "exit 9"}, {"PATH=" + path}, 9, ""},
        // The child sees exactly the given entries.
        {{"env"}, {"PATH=/usr/bin:/bin", "ONLY=this"}, 0, "PATH=/usr/bin:/bin\nONLY=this\n"},
    };
    for (const auto& row : rows) {
        qzai::RunOptions options;
        options.environment = row.environment;
        const auto result = qzai::runCommand(row.argv, options);
        EXPECT_EQ(result.exitCode, row.exitCode) << row.argv[0];
        EXPECT_EQ(result.output, row.output) << row.argv[0];
    }
    EXPECT_EQ(qzai::runCommand({"qzai-tool"}).exitCode, -1);  // the parent's PATH
}

TEST(RunCommand, TimeOutAndCancelKillTheWholeGroup) {
    qz::test::TempDir dir;
    const std::string pidFile = dir.file("background.pid");
    // The child starts a background process that keeps the output open, and
    // either exits at once or never ends.
    const std::string holder = "sleep 1000 & echo $! > " + pidFile + "; ";
    struct Row {
        const char* name;
        std::string script;
        bool cancel;
    };
    const Row rows[] = {
        {"background holds output", holder + "echo started; exit 0", false},
        {"never ends", holder + "echo started; exec sleep 1000", false},
        {"cancelled", holder + "exec sleep 1000", true},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(pidFile);
        qz::test::LogCapture log;
        std::atomic<bool> cancel{false};
        qzai::RunOptions options;
        options.cancel = &cancel;
        if (!row.cancel) options.timeout = std::chrono::milliseconds(300);
        std::thread canceller;
        if (row.cancel) {
            canceller = std::thread([&] {
                qz::test::eventually([&] { return std::filesystem::exists(pidFile); });
                cancel = true;
            });
        }
        const auto result = qzai::runCommand({"sh", "-c", row.script}, options);
        if (canceller.joinable()) canceller.join();
        EXPECT_EQ(result.exitCode, -1) << row.name;
        EXPECT_EQ(result.output, "") << row.name;
        EXPECT_EQ(log.count(row.cancel ? "cancelled" : "timed out"), 1u) << row.name;

        std::ifstream in(pidFile);
        pid_t background = 0;
        ASSERT_TRUE(in >> background) << row.name;
        EXPECT_TRUE(qz::test::eventually([&] { return qz::test::processEnded(background); })) << row.name;
    }
}

TEST(RunCommand, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // Far more than a pipe holds, on both streams, before the child exits.
    const auto result =
        qzai::runCommand({"sh", "-c", "head -c 3000000 /dev/zero; head -c 2000000 /dev/zero 1>&2; echo end"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output.size(), 5000004u);
    EXPECT_EQ(result.output.substr(result.output.size() - 4), "end\n");
}

TEST(RunCommand, OutputPastTheCapIsDroppedAndTheChildStillEnds) {
    const auto result = qzai::runCommand(
        {"sh", "-c", "head -c " + std::to_string(qzai::kMaxCommandOutputBytes + 100000) + " /dev/zero; echo end"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output.size(), qzai::kMaxCommandOutputBytes);
    EXPECT_TRUE(result.truncated);
    EXPECT_FALSE(qzai::runCommand({"sh", "-c", "echo whole"}).truncated);
}

TEST(RunCommand, FedInputReachesTheChildWhileItsOutputIsRead) {
    // 4 MB in 100 kB blocks: more than the input socket and the output pipe
    // hold together, so feeding and reading must take turns.
    std::string data(4 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    struct Row {
        std::vector<std::string> argv;
        std::string output;  // expected
    };
    const Row rows[] = {
        {{"cat"}, data},
        // Stops reading after 10 bytes: the rest of the input goes nowhere
        // and this process gets no SIGPIPE.
        {{"head", "-c", "10"}, data.substr(0, 10)},
        {{"true"}, ""},
    };
    for (const auto& row : rows) {
        size_t offset = 0;
        qzai::RunOptions options;
        options.input = [&](std::string& block) {
            block = data.substr(offset, 100000);
            offset += block.size();
            return !block.empty();
        };
        const auto result = qzai::runCommand(row.argv, options);
        EXPECT_EQ(result.exitCode, 0) << row.argv[0];
        EXPECT_TRUE(result.output == row.output) << row.argv[0] << ": " << result.output.size() << " bytes";
    }
}
