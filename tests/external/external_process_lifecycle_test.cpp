// Child processes: start failures, exit reports, the exit request and the
// kill that follows it, the output kept without a log file, and the tie that
// ends the child with its host.
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "external/support/peer_fixture.h"

using namespace std::chrono_literals;
using qz::test::Transport;

namespace {

class ExternalProcessLifecycleTest : public qz::test::PeerFixture {};

size_t threadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

}  // namespace

TEST_F(ExternalProcessLifecycleTest, MissingProgramIsReportedAndLeavesNothingRunning) {
    const size_t threadsBefore = threadCount();
    auto process = ExternalProcess::create("/nonexistent/qz_peer", "", {}, {});
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(log.count("ERROR: Failed to start external process (file not found or no permissions): execvp: No "
                        "such file or directory"),
              1);
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST_F(ExternalProcessLifecycleTest, ExitIsReportedWithTheOutputKeptWhenThereIsNoLogFile) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool withLogFile;
        bool sendFirst;
        std::vector<std::string> expected;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {"exit", {"--code", "0"}, false, false,
         {"INFO: External process exited normally with code: 0", "External process already exited gracefully."},
         {"crashed", "Sending graceful exit signal"}},
        {"exit", {"--code", "3"}, true, false, {"ERROR: External process crashed! Exit code: 3"}, {"stdout_data", "stderr:"}},
        {"exit", {"--code", "3"}, false, false,
         {"ERROR: External process crashed! Exit code: 3", "External process stdout_data:\nqz_peer: exiting at start",
          "External process stderr:\nqz_peer: exit code 3"},
         {}},
        {"crashafterack", {}, false, true, {"ERROR: External process crashed! Exit code: 11"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.front() + (c.withLogFile ? " (log file)" : ""));
        const std::string logFile = c.withLogFile ? (log.dir() / "child.log").string() : "";
        auto* process = start(Transport::SharedMemory, c.name, c.options, logFile);
        ASSERT_NE(process, nullptr);
        if (c.sendFirst) {
            EXPECT_TRUE(process->sendInput(std::span<const uint8_t>()));
        }
        ASSERT_TRUE(process->waitUntilExited(10000));
        EXPECT_TRUE(process->hasExited());
        processes.clear();
        for (const auto& line : c.expected) EXPECT_EQ(log.count(line), 1) << line;
        for (const auto& line : c.absent) EXPECT_EQ(log.count(line), 0) << line;
        if (c.withLogFile) {
            EXPECT_NE(qz::test::waitForFileText(logFile, "exit code 3", 1s).find("exiting at start"), std::string::npos);
        }
        log.restart();
    }
}

TEST_F(ExternalProcessLifecycleTest, ChattyChildDoesNotStallAndOnlyItsLastOutputIsKept) {
    auto* process = start(Transport::SharedMemory, "flood", {"--bytes", std::to_string(4 << 20)});
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->waitUntilExited(20000));
    processes.clear();
    const std::string text = log.text();
    EXPECT_EQ(log.count("ERROR: External process crashed! Exit code: 3"), 1);
    const size_t dump = text.find("External process stdout_data:\n");
    ASSERT_NE(dump, std::string::npos);
    const size_t end = text.find("END\n", dump);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end + 4 - dump, 64u * 1024 + 64);
    EXPECT_GE(end + 4 - dump, 64u * 1024);
}

TEST_F(ExternalProcessLifecycleTest, ChildIgnoringTheExitRequestIsKilledWithItsGroup) {
    const std::string childLog = (log.dir() / "child.log").string();
    auto* process = start(Transport::SharedMemory, "ignoreexit", {"--grandchild", "1"}, childLog);
    ASSERT_NE(process, nullptr);
    const std::string text = qz::test::waitForFileText(childLog, "\n", 10s);
    ASSERT_EQ(text.rfind("GRANDCHILD ", 0), 0u) << text;
    const pid_t grandchild = static_cast<pid_t>(std::stol(text.substr(11)));
    EXPECT_EQ(exchange(*process, "still serving"), "still serving");

    const auto begin = std::chrono::steady_clock::now();
    processes.clear();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, 2s);
    EXPECT_LE(took, 3500ms);
    EXPECT_EQ(log.count("External process did not exit gracefully, requesting forceful kill."), 1);
    EXPECT_EQ(log.count("Killing external process on shutdown request."), 1);
    EXPECT_TRUE(qz::test::waitForProcessEnd(grandchild, 2s));
}

TEST_F(ExternalProcessLifecycleTest, ChildDiesWithItsHost) {
    // Orphans of the host come to this process, which reaps them.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    {
        qz::test::PipedChild host({qz::test::peerHostProgram(), qz::test::peerProgram()});
        const std::string peerText = host.readLine("PEER ", 10s);
        ASSERT_FALSE(peerText.empty());
        const pid_t peer = static_cast<pid_t>(std::stol(peerText));
        const auto names = qz::test::shmNamesOf(peer);
        EXPECT_EQ(names.size(), 4u);
        ::kill(host.pid(), SIGKILL);
        host.reap();
        EXPECT_TRUE(qz::test::waitForProcessEnd(peer, 2s));
        int status = 0;
        EXPECT_EQ(::waitpid(peer, &status, WNOHANG), peer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        // A killed host cannot remove its names; nothing else will.
        for (const auto& name : names) ::shm_unlink(("/" + name).c_str());
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}
