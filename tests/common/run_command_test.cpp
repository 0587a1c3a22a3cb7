#include <gtest/gtest.h>

#include "common/run_command.h"
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
