// Support for the external-process tests: the plug-in log captured into a
// temporary file, the test process's children and shared-memory names, a
// TCP qz_peer running as a separate process, and waits on file contents.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/support/temp_dir.h"

namespace qz::test {

inline std::string peerProgram() { return QZ_PEER_PROGRAM; }
inline std::string peerHostProgram() { return QZ_PEER_HOST_PROGRAM; }

// Sends the plug-in log (verbose) to a file in a temporary directory.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    // Starts the file afresh.
    void restart();
    std::string text() const;
    int count(const std::string& needle) const;
    const std::filesystem::path& dir() const { return m_dir.path(); }

private:
    TempDir m_dir;
};

// Pids whose parent is this process (alive or zombie).
std::vector<pid_t> childrenOfThisProcess();
// The shared-memory names in the channel descriptors among a process's arguments.
std::set<std::string> shmNamesOf(pid_t pid);
std::set<std::string> shmNamesInDescriptor(const std::string& descriptor);
bool shmNameExists(const std::string& name);

// Waits (inotify, no polling) until the file holds `needle`; the file's text.
std::string waitForFileText(const std::filesystem::path& file, const std::string& needle,
                            std::chrono::milliseconds timeout);
// True while a thread of this process sleeps (state S in /proc).
bool threadIsSleeping(pid_t tid);
// Waits for a process that is not necessarily a child to end (pidfd).
bool waitForProcessEnd(pid_t pid, std::chrono::milliseconds timeout);

class PipedChild;

// qz_peer --listen 0 with the given "--key value" arguments, in its own
// process group; killed and reaped with the group by the destructor.
class TcpPeer {
public:
    explicit TcpPeer(const std::vector<std::string>& arguments);
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;
    uint16_t port() const { return m_port; }

private:
    std::unique_ptr<PipedChild> m_child;
    uint16_t m_port = 0;
};

// Starts a program with its standard output on a pipe; reads lines from it.
class PipedChild {
public:
    explicit PipedChild(const std::vector<std::string>& argv);
    ~PipedChild();  // SIGKILLs the group when still running, and reaps
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;
    pid_t pid() const { return m_pid; }
    // The next line starting with `prefix` (without it), empty after the time-out.
    std::string readLine(const std::string& prefix, std::chrono::milliseconds timeout);
    // Waits for the child's end; its wait status, or -1.
    int reap();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_pending;
    bool m_reaped = false;
};

}  // namespace qz::test
