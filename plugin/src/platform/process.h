// A child process started without a shell, with its standard output and
// standard error merged into one pipe that the parent reads (or discarded).
//
// Ownership: a ChildProcess owns the child until it has been waited for; the
// destructor kills (SIGKILL) and reaps a child that is still running, so no
// zombie or orphan outlives the object. Standard input is /dev/null, and no
// descriptor of the parent other than 0-2 reaches the child. One object
// belongs to one thread; different objects may be used from different threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Splits a command line into arguments: runs of spaces and tabs separate
// them, double quotes group (and are removed), `\"` inside quotes is a quote,
// any other backslash is kept as it is.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

class ChildProcess {
public:
    // Starts argv[0] (looked up in PATH when it has no '/'). Null with
    // *error set when the process cannot be created (e.g. a missing program).
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv, bool captureOutput,
                                               std::string* error);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // Reads the merged output until the child closes it (usually at exit).
    std::string readAllOutput();
    // Waits for the exit. Exit code, or 128 + signal number when a signal
    // ended it. Empty when the time-out passed first.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);
    int wait();
    // Sends SIGKILL when the child is still running (it still has to be waited for).
    void kill();

    struct StartedKey {  // only start() makes one
    private:
        friend class ChildProcess;
        StartedKey() = default;
    };
    ChildProcess(StartedKey, pid_t pid, int outputFd) : m_pid(pid), m_outputFd(outputFd) {}

private:
    std::optional<int> reap(bool block);

    pid_t m_pid = -1;
    int m_outputFd = -1;
    std::optional<int> m_exitCode;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
