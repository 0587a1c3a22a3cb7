// The connection to one external processor: a child process reached over two
// shared-memory channels (mode 0), or a peer already listening on a TCP port
// of 127.0.0.1 (mode 1).
//
// Child processes: create() makes the request ("to-process") and response
// ("from-process") channels, starts the program with their descriptors as its
// first two arguments and watches it from one monitor thread, which alone
// owns the Qt process object. The child is put in its own process group, is
// killed when the monitor thread (and so this process) dies, inherits no
// descriptor beyond 0-2 and the four segments of its channels, and its whole
// group is killed once it has ended.
// Without a log file the last 64 KiB of its standard output and error are
// kept for the crash report.
//
// Sending: any number of threads may call sendInput (serialised by the send
// mutex). A send given a deadline gives up when it passes, whether it is
// still waiting for the send mutex, for the child's acknowledgement or for
// the socket; while the processor is not taking requests (an acknowledgement
// overdue, or a TCP frame the peer has not read), later sends fail at once.
// A TCP frame cut short by its deadline is finished before the next one
// begins, by the first send that finds the peer reading again; that send
// then goes on with its own frame, or is skipped when its time runs out first.
// cancelSends() ends them all, for unloading. Receiving: one thread calls receiveOutput and, after each response,
// releaseOutput; the response is a view into transport memory valid until
// then. cancelReceive() may be called from any thread. The object must not be
// destroyed while another thread uses it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "external/ipc_channel.h"
#include "external/tcp_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

class TcpSocket;

class ExternalProcess {
public:
    // Starts `program` (no shell) with the two channel descriptors and then
    // `arguments`. The output goes to `logFilePath` (truncated) when it is not
    // empty; an empty `environment` leaves the child this process's one.
    // Empty when the channels cannot be made or the program does not start.
    static std::unique_ptr<ExternalProcess> create(const std::string& program, const std::string& logFilePath,
                                                   const std::vector<std::string>& arguments,
                                                   const std::map<std::string, std::string>& environment);
    // A peer on 127.0.0.1:port; nothing is contacted until the first send.
    static std::unique_ptr<ExternalProcess> createTcp(uint16_t port);

    ~ExternalProcess();
    ExternalProcess(const ExternalProcess&) = delete;
    ExternalProcess& operator=(const ExternalProcess&) = delete;

    // Asks the child to end (exit signal on the request channel); does not wait.
    void sendGracefulExit();
    // True once the child has ended (always false for a TCP peer).
    bool hasExited() const;

    using Deadline = std::chrono::steady_clock::time_point;
    // No deadline of the caller's: only the transport's own bounds (1000 ms
    // for each acknowledgement; 1000 ms plus 100 ms per MiB for a TCP frame
    // and the rest of one cut short before it).
    static constexpr Deadline kNoDeadline = Deadline::max();

    // True when the request was delivered (acknowledged by the child, or
    // wholly handed to the socket).
    bool sendInput(std::span<const uint8_t> request, Deadline deadline = kNoDeadline);
    bool sendInputTcp(std::span<const uint8_t> request);
    // The same for a request in pieces that make one message together
    // (written straight into shared memory, or handed to the socket as they
    // are), so a large piece needs no copy into a single buffer first.
    bool sendInput(std::span<const std::span<const uint8_t>> pieces, Deadline deadline = kNoDeadline);
    // Ends waiting sends and makes every later one fail at once.
    void cancelSends();
    // One response, or empty after the time-out (milliseconds; values above
    // INT32_MAX count as INT32_MAX), a failure or cancelReceive().
    std::optional<std::span<const uint8_t>> receiveOutput(uint32_t timeoutMs);
    std::optional<std::span<const uint8_t>> waitForOutputTCP(int64_t timeoutMs);
    // Called once after each non-empty receive, on the receiving thread.
    void releaseOutput();
    // Makes a waiting receive, and every later one, return empty within
    // 100 ms without a warning. For stopping the receiving thread.
    void cancelReceive();

    // For tests: the child's process id (0 when none), waiting for the end of
    // the monitor thread's watch, and the TCP receive buffer's capacity.
    pid_t processId() const { return m_pid.load(); }
    bool waitUntilExited(int64_t timeoutMs);
    size_t receiveBufferCapacity() const { return m_receiveBuffer.capacity(); }

private:
    struct Start;  // what the monitor thread needs to start the child
    ExternalProcess(const std::string& program, const std::string& logFilePath,
                    const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string>& environment);
    explicit ExternalProcess(uint16_t port);

    void run(std::shared_ptr<Start> start);
    bool sendInputShm(std::span<const std::span<const uint8_t>> pieces, Deadline deadline);
    bool sendInputTcp(std::span<const std::span<const uint8_t>> pieces, Deadline deadline);
    bool lockForSend(std::unique_lock<std::timed_mutex>& lock, Deadline deadline);
    std::shared_ptr<TcpSocket> currentSocket();
    void dropConnection(const std::shared_ptr<TcpSocket>& socket, bool reset);
    void trimReceiveBuffer(size_t bytes);

    IpcChannel* m_toProcess = nullptr;
    IpcChannel* m_fromProcess = nullptr;
    bool m_started = false;
    std::timed_mutex m_sendMutex;
    std::atomic<bool> m_sendsCancelled{false};
    std::mutex m_receiveMutex;
    std::thread m_monitor;
    int m_readyAttempts = 0;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_killRequested{false};
    mutable std::mutex m_exitMutex;
    std::condition_variable m_exitCondition;
    bool m_exited = false;
    int m_mode = 0;
    uint16_t m_port = 0;
    std::atomic<bool> m_cancelled{false};

    // Filled by the monitor thread before it sets m_exited.
    std::atomic<pid_t> m_pid{0};

    // TCP connection: replaced by a send after a loss; receivers wait on the
    // condition for one to appear (on shared memory, for a cancel once the
    // response channel is broken).
    std::mutex m_connectionMutex;
    std::condition_variable m_connectionCondition;
    std::shared_ptr<TcpSocket> m_socket;
    bool m_lossLogged = true;  // nothing to report before the first connection
    // The unsent rest of a frame the peer did not read in time (under the send
    // mutex); it goes out before any other frame on the same connection.
    std::vector<uint8_t> m_tcpBacklog;
    bool m_tcpStalled = false;  // the last send ran out of time: the next one tries without waiting first
    // The body of the last response (under the receive mutex). It keeps its
    // room from one response to the next, unless a response was far above
    // the usual size: a running average of the responses so far.
    ReceiveBuffer m_receiveBuffer;
    size_t m_usualResponseBytes = 0;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
