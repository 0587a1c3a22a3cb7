// A child process started without a shell, with its standard output and
// standard error merged into one pipe that the parent reads (or discarded).
//
// Ownership: a ChildProcess owns the child until it has been waited for; the
// destructor kills (SIGKILL) and reaps a child that is still running, so no
// zombie outlives the object. Standard input is /dev/null unless the parent
// feeds it, and no descriptor of the parent other than 0-2 reaches the child. One object
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

struct StartOptions {
    // Merge standard output and standard error into a pipe the parent reads;
    // otherwise both go to /dev/null.
    bool captureOutput = false;
    // The child's whole environment as "NAME=value" entries; empty: the
    // parent's. With an environment, a program name without '/' is looked up
    // in that environment's PATH, not the parent's.
    std::optional<std::vector<std::string>> environment;
    // The child leads a new process group (see killGroup).
    bool newProcessGroup = false;
    // The child's standard input is a stream socket the parent writes (see
    // inputFd); a socket, so that writing after the child stopped reading
    // fails with EPIPE instead of raising SIGPIPE in the parent.
    bool feedInput = false;
};

// The first "<dir>/<program>" along `path` (entries separated by ':', an
// empty entry meaning the current directory) that is an executable regular
// file; empty when there is none.
std::string findProgramInPath(const std::string& program, const std::string& path);

class ChildProcess {
public:
    // Starts argv[0] (looked up in PATH when it has no '/'). Null with
    // *error set when the process cannot be created (e.g. a missing program,
    // or a file the kernel will not execute, such as a script without "#!").
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv, const StartOptions& options,
                                               std::string* error);
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv, bool captureOutput,
                                               std::string* error) {
        return start(argv, StartOptions{captureOutput, std::nullopt, false}, error);
    }
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // The read end of the captured output (blocking: poll before reading), or
    // -1 when output is not captured or has been closed. Owned by this object.
    int outputFd() const { return m_outputFd; }
    void closeOutput();
    // The non-blocking parent end of the child's standard input (write with
    // send and MSG_NOSIGNAL), or -1 when input is not fed or has been closed;
    // closing it is the child's end of input. Owned by this object.
    int inputFd() const { return m_inputFd; }
    void closeInput();
    // Reads the merged output until the child closes it (usually at exit).
    std::string readAllOutput();
    // Waits for the exit. Exit code, or 128 + signal number when a signal
    // ended it. Empty when the time-out passed first.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);
    int wait();
    // Sends SIGKILL when the child is still running (it still has to be waited for).
    void kill();
    // Sends SIGKILL to every process of the child's group, including those
    // left behind after the child itself exited. Only for a child started
    // with newProcessGroup; a no-op otherwise. Safe while the child is not
    // reaped or any member of its group lives (the id stays reserved).
    void killGroup();
    // Non-blocking: the exit code once the child has ended (and is reaped).
    std::optional<int> poll() { return reap(false); }

    struct StartedKey {  // only start() makes one
    private:
        friend class ChildProcess;
        StartedKey() = default;
    };
    ChildProcess(StartedKey, pid_t pid, int outputFd, int inputFd, bool groupLeader)
        : m_pid(pid), m_outputFd(outputFd), m_inputFd(inputFd), m_groupLeader(groupLeader) {}

private:
    std::optional<int> reap(bool block);

    pid_t m_pid = -1;
    int m_outputFd = -1;
    int m_inputFd = -1;
    bool m_groupLeader = false;
    std::optional<int> m_exitCode;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
