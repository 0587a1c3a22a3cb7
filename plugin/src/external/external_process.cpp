#include "external/external_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <future>

#include "common/ini.h"
#include "common/log.h"
#include "common/scoped_timer.h"
#include "platform/tcp_socket.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr uint64_t kInitialPayloadBytes = 1024;
constexpr int kStartWaitMs = 5000;
constexpr int kExitPollMs = 500;
constexpr int kKillWaitMs = 500;
constexpr auto kGracefulExitWait = std::chrono::seconds(2);
constexpr int kReadyWaitMs = 1000;
constexpr int kConnectTimeoutMs = 1000;
constexpr size_t kOutputTailBytes = 64 * 1024;
// A frame must be accepted within this, plus kSendMsPerMiB for each MiB.
constexpr int64_t kSendBaseMs = 1000;
constexpr int64_t kSendMsPerMiB = 100;
// A TCP response up to this size always leaves its room to the next one (a
// full-HD float image is 25 MB); a larger one only when it is at most twice
// the usual response.
constexpr size_t kKeptReceiveBytes = 32u << 20;

void appendTail(std::string& tail, const QByteArray& bytes) {
    tail.append(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (tail.size() > kOutputTailBytes) tail.erase(0, tail.size() - kOutputTailBytes);
}

void logStartError(QProcess& process) {
    const std::string text = process.errorString().toStdString();
    switch (process.error()) {
        case QProcess::FailedToStart:
            logMessage("ERROR: Failed to start external process (file not found or no permissions): %s\n",
                       text.c_str());
            break;
        case QProcess::Crashed:
            logMessage("ERROR: External process crashed during startup: %s\n", text.c_str());
            break;
        case QProcess::Timedout:
            logMessage("ERROR: External process timed out during startup\n");
            break;
        case QProcess::ReadError:
            logMessage("ERROR: Failed to read from external process\n");
            break;
        case QProcess::WriteError:
            logMessage("ERROR: Failed to write to external process\n");
            break;
        default:
            logMessage("ERROR: External process error: %d\n", static_cast<int>(process.error()));
            break;
    }
}

struct ChannelDescriptors {
    int fds[4] = {-1, -1, -1, -1};
};

// The part of `pieces` after their first `skip` bytes.
std::vector<iovec> unsentPart(const std::vector<iovec>& pieces, size_t skip) {
    std::vector<iovec> rest;
    for (const iovec& piece : pieces) {
        const size_t take = std::min(skip, piece.iov_len);
        skip -= take;
        if (take < piece.iov_len) rest.push_back({static_cast<uint8_t*>(piece.iov_base) + take, piece.iov_len - take});
    }
    return rest;
}

// Milliseconds left before `deadline`, at most `cap` (0 when it has passed).
int64_t msLeft(ExternalProcess::Deadline deadline, int64_t cap) {
    if (deadline == ExternalProcess::kNoDeadline) return cap;
    const int64_t left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return std::clamp<int64_t>(left, 0, cap);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
void tieChildToParent(pid_t parent, const ChannelDescriptors& keep) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the parent died before the tie took hold
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        rlimit limit{};
        const long last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                              ? static_cast<long>(limit.rlim_cur)
                              : 65536;
        for (long fd = 3; fd < last; ++fd) {
            const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
            if (flags >= 0) ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
        }
    }
    // The channels' segments, which the child opens as /proc/self/fd/<n>.
    for (const int fd : keep.fds) {
        if (fd >= 0) ::fcntl(fd, F_SETFD, 0);
    }
}

}  // namespace

struct ExternalProcess::Start {
    QString program;
    QStringList arguments;
    QString logFilePath;
    std::map<std::string, std::string> environment;
    ChannelDescriptors segments;  // the child inherits these
    std::promise<bool> started;
};

std::unique_ptr<ExternalProcess> ExternalProcess::create(const std::string& program, const std::string& logFilePath,
                                                         const std::vector<std::string>& arguments,
                                                         const std::map<std::string, std::string>& environment) {
    std::unique_ptr<ExternalProcess> process(new ExternalProcess(program, logFilePath, arguments, environment));
    if (!process->m_started) return nullptr;
    return process;
}

std::unique_ptr<ExternalProcess> ExternalProcess::createTcp(uint16_t port) {
    return std::unique_ptr<ExternalProcess>(new ExternalProcess(port));
}

ExternalProcess::ExternalProcess(const std::string& program, const std::string& logFilePath,
                                 const std::vector<std::string>& arguments,
                                 const std::map<std::string, std::string>& environment) {
    m_mode = 0;
    m_running = true;
    m_toProcess = ipcChannelCreate(kInitialPayloadBytes);
    m_fromProcess = ipcChannelCreate(kInitialPayloadBytes);
    if (m_toProcess == nullptr || m_fromProcess == nullptr) {
        logMessage("ERROR: Failed to create IPC channels for external process.\n");
        return;
    }
    char* toDescriptor = ipcChannelSerializeDescriptor(m_toProcess);
    char* fromDescriptor = ipcChannelSerializeDescriptor(m_fromProcess);
    if (toDescriptor == nullptr || fromDescriptor == nullptr) {
        logMessage("ERROR: Failed to serialize IPC channel descriptors for external process.\n");
        std::free(toDescriptor);
        std::free(fromDescriptor);
        return;
    }
    auto start = std::make_shared<Start>();
    start->program = QString::fromStdString(program);
    start->arguments << QString::fromUtf8(toDescriptor) << QString::fromUtf8(fromDescriptor);
    for (const std::string& argument : arguments) start->arguments << QString::fromStdString(argument);
    start->environment = environment;
    start->segments.fds[0] = m_toProcess->control.handle;
    start->segments.fds[1] = m_toProcess->data.handle;
    start->segments.fds[2] = m_fromProcess->control.handle;
    start->segments.fds[3] = m_fromProcess->data.handle;
    logMessage("Starting external process at: %s\n", program.c_str());
    if (!logFilePath.empty()) {
        logMessage("External process log file: %s\n", logFilePath.c_str());
        start->logFilePath = QString::fromStdString(logFilePath);
    }
    std::future<bool> started = start->started.get_future();
    m_monitor = std::thread(&ExternalProcess::run, this, start);
    if (started.get()) {
        m_started = true;
    } else {
        m_monitor.join();
    }
    std::free(toDescriptor);
    std::free(fromDescriptor);
}

ExternalProcess::ExternalProcess(uint16_t port) : m_started(true), m_mode(1), m_port(port) {}

void ExternalProcess::run(std::shared_ptr<Start> start) {
    // The process object lives on this thread only. The child's death signal
    // is tied to this thread (the one that forks), which outlives the child.
    std::string stdoutTail;
    std::string stderrTail;
    {
        QProcess process;
        process.setProgram(start->program);
        process.setArguments(start->arguments);
        if (!start->logFilePath.isEmpty()) {
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.setStandardOutputFile(start->logFilePath, QIODevice::Truncate);
        }
        if (!start->environment.empty()) {
            QProcessEnvironment environment;
            for (const auto& [key, value] : start->environment) {
                environment.insert(QString::fromStdString(key), QString::fromStdString(value));
            }
            process.setProcessEnvironment(environment);
        }
        const pid_t parent = ::getpid();
        const ChannelDescriptors keep = start->segments;
        process.setChildProcessModifier([parent, keep] { tieChildToParent(parent, keep); });
        process.start(QIODevice::ReadWrite);
        if (!process.waitForStarted(kStartWaitMs)) {
            logStartError(process);
            const QByteArray output = process.readAll();
            if (!output.isEmpty()) logMessage("External process output:\n%s\n", output.constData());
            start->started.set_value(false);
            return;
        }
        const pid_t pid = static_cast<pid_t>(process.processId());
        m_pid = pid;
        start->started.set_value(true);

        const bool keepTails = start->logFilePath.isEmpty();
        auto drain = [&] {
            if (!keepTails) return;
            appendTail(stdoutTail, process.readAllStandardOutput());
            appendTail(stderrTail, process.readAllStandardError());
        };
        bool report = true;
        for (;;) {
            const bool finished = process.waitForFinished(kExitPollMs);
            drain();
            if (finished || process.state() == QProcess::NotRunning) break;
            if (m_killRequested) {
                logMessage("Killing external process on shutdown request.\n");
                process.kill();
                const bool killed = process.waitForFinished(kKillWaitMs) || process.state() == QProcess::NotRunning;
                drain();
                if (!killed) {
                    logMessage("WARNING: External process did not exit even after being killed.\n");
                    report = false;
                }
                break;
            }
        }
        // Whatever the child left in its group ends with it.
        if (pid > 0) ::kill(-pid, SIGKILL);
        if (report) {
            const int exitCode = process.exitCode();
            if (process.exitStatus() == QProcess::CrashExit || exitCode != 0) {
                logMessage("ERROR: External process crashed! Exit code: %d\n", exitCode);
                if (!stdoutTail.empty()) logMessage("External process stdout_data:\n%s\n", stdoutTail.c_str());
                if (!stderrTail.empty()) logMessage("External process stderr:\n%s\n", stderrTail.c_str());
            } else {
                logMessage("INFO: External process exited normally with code: %d\n", 0);
            }
        }
    }
    m_running = false;
    {
        std::lock_guard<std::mutex> lock(m_exitMutex);
        m_exited = true;
    }
    m_exitCondition.notify_all();
}

ExternalProcess::~ExternalProcess() {
    if (m_monitor.joinable()) {
        if (m_running) {
            logMessage("Sending graceful exit signal to external process.\n");
            ipcChannelSignalExit(m_toProcess);
            std::unique_lock<std::mutex> lock(m_exitMutex);
            const auto deadline = std::chrono::steady_clock::now() + kGracefulExitWait;
            if (!m_exitCondition.wait_until(lock, deadline, [this] { return m_exited; })) {
                logMessage("External process did not exit gracefully, requesting forceful kill.\n");
                m_killRequested = true;
                m_exitCondition.wait(lock, [this] { return m_exited; });
            }
        } else {
            logMessage("External process already exited gracefully.\n");
        }
        m_monitor.join();
    }
    if (m_mode == 0) {
        ipcChannelDestroy(m_toProcess);
        ipcChannelDestroy(m_fromProcess);
    } else {
        std::lock_guard<std::mutex> lock(m_connectionMutex);
        if (m_socket) m_socket->close();
        m_socket.reset();
    }
}

void ExternalProcess::cancelSends() {
    m_sendsCancelled = true;
    if (m_mode == 0) {
        ipcChannelCancelSends(m_toProcess);
        return;
    }
    // Shutting the socket down ends a send waiting for room in it.
    if (std::shared_ptr<TcpSocket> socket = currentSocket()) socket->close();
}

void ExternalProcess::sendGracefulExit() {
    if (m_mode != 0) return;
    std::lock_guard<std::timed_mutex> lock(m_sendMutex);
    logMessage("Sending graceful exit signal to external process.\n");
    ipcChannelSignalExit(m_toProcess);
}

bool ExternalProcess::hasExited() const { return m_mode == 0 && !m_running; }

bool ExternalProcess::waitUntilExited(int64_t timeoutMs) {
    if (m_mode != 0) return false;
    std::unique_lock<std::mutex> lock(m_exitMutex);
    return m_exitCondition.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0)),
                                    [this] { return m_exited; });
}

bool ExternalProcess::sendInput(std::span<const uint8_t> request, Deadline deadline) {
    return sendInput({&request, 1}, deadline);
}

bool ExternalProcess::sendInputTcp(std::span<const uint8_t> request) {
    return sendInputTcp({&request, 1}, kNoDeadline);
}

bool ExternalProcess::sendInput(std::span<const std::span<const uint8_t>> pieces, Deadline deadline) {
    return m_mode == 1 ? sendInputTcp(pieces, deadline) : sendInputShm(pieces, deadline);
}

// Takes the send mutex unless the deadline passes or sends are cancelled.
bool ExternalProcess::lockForSend(std::unique_lock<std::timed_mutex>& lock, Deadline deadline) {
    if (m_sendsCancelled) return false;
    if (deadline == kNoDeadline) {
        lock.lock();
    } else if (!lock.try_lock_until(deadline)) {
        logInfo("External process busy: a request gave up waiting for its turn to be sent.\n");
        return false;
    }
    return !m_sendsCancelled;
}

bool ExternalProcess::sendInputShm(std::span<const std::span<const uint8_t>> pieces, Deadline deadline) {
    std::unique_lock<std::timed_mutex> lock(m_sendMutex, std::defer_lock);
    if (!lockForSend(lock, deadline)) return false;
    if (!m_toProcess->ready) {
        const int maxRetries = ini().ExternalProcessorReadyCheckMaxRetries;
        if (m_readyAttempts < maxRetries) {
            const int64_t waitMs = msLeft(deadline, kReadyWaitMs);
            if (waitMs <= 0) return false;
            ++m_readyAttempts;
            if (ipcChannelWaitReady(m_toProcess, waitMs) != kIpcOk) {
                logMessage("Warning! External process not ready yet (attempt %d/%d).\n", m_readyAttempts, maxRetries);
                return false;
            }
            logMessage("Received ready signal from external process\n");
        } else if (ipcChannelWaitReady(m_toProcess, 0) == kIpcOk) {
            // The waits are used up, but a slow starter still becomes usable.
            logMessage("Received ready signal from external process\n");
        } else {
            logInfo("Skipping sending input to external process. Max retries reached.\n");
        }
    }
    const IpcResult result = ipcChannelSendPieces(m_toProcess, pieces, msLeft(deadline, kIpcAckTimeoutMs));
    if (result != kIpcOk) {
        logMessage("Warning! Could not send input message: %d\n", static_cast<int>(result));
        return false;
    }
    logInfo("External process received message succesfully.\n");
    return true;
}

std::shared_ptr<TcpSocket> ExternalProcess::currentSocket() {
    std::lock_guard<std::mutex> lock(m_connectionMutex);
    return m_socket;
}

void ExternalProcess::dropConnection(const std::shared_ptr<TcpSocket>& socket, bool reset) {
    if (reset) {
        socket->abort();
    } else {
        socket->close();
    }
    std::lock_guard<std::mutex> lock(m_connectionMutex);
    if (m_socket == socket) m_socket.reset();
}

bool ExternalProcess::sendInputTcp(std::span<const std::span<const uint8_t>> pieces, Deadline deadline) {
    std::unique_lock<std::timed_mutex> lock(m_sendMutex, std::defer_lock);
    if (!lockForSend(lock, deadline)) return false;
    std::shared_ptr<TcpSocket> socket = currentSocket();
    if (!socket || !socket->isConnected()) {
        m_tcpBacklog.clear();
        m_tcpStalled = false;
        const int64_t connectMs = msLeft(deadline, kConnectTimeoutMs);
        auto fresh = std::make_shared<TcpSocket>();
        if (connectMs <= 0 || !fresh->connect(m_port, static_cast<int>(connectMs))) {
            logMessage("Warning! Could not connect to external process at port: %d\n", static_cast<int>(m_port));
            return false;
        }
        {
            std::lock_guard<std::mutex> connectionLock(m_connectionMutex);
            m_socket = fresh;
            m_lossLogged = false;
        }
        m_connectionCondition.notify_all();
        socket = std::move(fresh);
    }
    uint64_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    if (total > kTcpMaxFrameBytes) {
        logMessage("Warning! Could not send to external process at port: %d\n", static_cast<int>(m_port));
        return false;
    }
    const uint32_t length = static_cast<uint32_t>(total);
    uint8_t header[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                         static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    // The rest of a frame cut short goes out before this one begins, so the
    // stream stays in step.
    const size_t backlogBytes = m_tcpBacklog.size();
    std::vector<iovec> queue;
    if (backlogBytes > 0) queue.push_back({m_tcpBacklog.data(), backlogBytes});
    queue.push_back({header, sizeof header});
    for (const auto& piece : pieces) queue.push_back({const_cast<uint8_t*>(piece.data()), piece.size()});
    const size_t queuedBytes = backlogBytes + sizeof header + static_cast<size_t>(total);
    // A peer that stops reading must not hold the send mutex for long.
    const int64_t mib = static_cast<int64_t>((queuedBytes + (1u << 20) - 1) >> 20);
    const auto now = std::chrono::steady_clock::now();
    const auto sendDeadline = std::min(deadline, now + std::chrono::milliseconds(kSendBaseMs + kSendMsPerMiB * mib));
    size_t sent = 0;
    TcpSocket::SendOutcome outcome;
    if (m_tcpStalled) {
        // The peer was not reading: one try without waiting tells whether it
        // reads again. Only then may the rest wait for room like any send.
        outcome = socket->sendAll(queue.data(), static_cast<int>(queue.size()), now, &sent);
        if (outcome == TcpSocket::SendOutcome::kTimedOut && sent > 0) {
            const std::vector<iovec> rest = unsentPart(queue, sent);
            size_t more = 0;
            outcome = socket->sendAll(rest.data(), static_cast<int>(rest.size()), sendDeadline, &more);
            sent += more;
        }
    } else {
        outcome = socket->sendAll(queue.data(), static_cast<int>(queue.size()), sendDeadline, &sent);
    }
    if (outcome == TcpSocket::SendOutcome::kSent) {
        m_tcpBacklog.clear();
        m_tcpStalled = false;
        return true;
    }
    if (outcome == TcpSocket::SendOutcome::kFailed || m_sendsCancelled || !socket->isConnected()) {
        logMessage("Warning! Could not send to external process at port: %d\n", static_cast<int>(m_port));
        dropConnection(socket, true);
        return false;
    }
    // Out of time, not out of order: what is left of a frame already begun
    // is kept and goes first once the peer reads again. This request is
    // skipped whole when the earlier frame took all its time.
    if (sent < backlogBytes) {
        m_tcpBacklog.erase(m_tcpBacklog.begin(), m_tcpBacklog.begin() + static_cast<std::ptrdiff_t>(sent));
    } else {
        std::vector<uint8_t> rest;
        if (sent > backlogBytes) {
            rest.reserve(queuedBytes - sent);
            for (const iovec& piece : unsentPart(queue, sent)) {
                const uint8_t* from = static_cast<const uint8_t*>(piece.iov_base);
                rest.insert(rest.end(), from, from + piece.iov_len);
            }
        }
        m_tcpBacklog.swap(rest);
    }
    if (!m_tcpStalled) {
        logMessage("Warning! External process at port %d is not reading; requests fail until it does.\n",
                   static_cast<int>(m_port));
    }
    m_tcpStalled = true;
    return false;
}

std::optional<std::span<const uint8_t>> ExternalProcess::receiveOutput(uint32_t timeoutMs) {
    const int64_t bounded = std::min<int64_t>(timeoutMs, INT32_MAX);
    if (m_mode == 1) return waitForOutputTCP(bounded);
    if (m_cancelled) return std::nullopt;
    const uint8_t* message = nullptr;
    uint32_t length = 0;
    if (ipcChannelReceive(m_fromProcess, &message, &length, bounded) != kIpcOk) {
        if (m_fromProcess->broken.load()) {
            // Like a lost connection: nothing more can come, so wait out the
            // time-out (or a cancel) instead of returning at once.
            std::unique_lock<std::mutex> lock(m_connectionMutex);
            m_connectionCondition.wait_for(lock, std::chrono::milliseconds(bounded), [this] { return m_cancelled.load(); });
        }
        return std::nullopt;
    }
    logInfo("Received response from external process with size: %u\n", length);
    return std::span<const uint8_t>(message, length);
}

std::optional<std::span<const uint8_t>> ExternalProcess::waitForOutputTCP(int64_t timeoutMs) {
    ScopedTimer timer("waitForOutputTCP");
    std::shared_ptr<TcpSocket> socket;
    {
        std::unique_lock<std::mutex> lock(m_connectionMutex);
        auto usable = [this] { return m_cancelled || (m_socket && m_socket->isConnected()); };
        if (!usable()) {
            if (!m_lossLogged) {
                m_lossLogged = true;
                logMessage("Warning! TCP connection to external process lost.\n");
            }
            // Wait for a send to (re)connect, without spinning.
            if (timeoutMs < 0) {
                m_connectionCondition.wait(lock, usable);
            } else {
                m_connectionCondition.wait_for(lock, std::chrono::milliseconds(timeoutMs), usable);
            }
        }
        if (m_cancelled || !usable()) return std::nullopt;
        socket = m_socket;
    }
    m_receiveMutex.lock();
    timer.mark("mutex lock");
    uint32_t announced = 0;
    const TcpFrameStatus status = readTcpFrame(
        [&](uint8_t* into, size_t atMost) { return socket->receiveSome(into, atMost, timeoutMs); }, m_receiveBuffer,
        &announced, [&] { timer.mark("receive header"); });
    if (status == TcpFrameStatus::Complete && !m_cancelled) {
        timer.mark("receive message");
        return std::span<const uint8_t>(m_receiveBuffer.data(), m_receiveBuffer.size());
    }
    if (status != TcpFrameStatus::Idle && !m_cancelled) {
        switch (status) {
            case TcpFrameStatus::HeaderFailed:
                logMessage("Warning! Failed to receive header from external process!\n");
                break;
            case TcpFrameStatus::Oversized:
                logMessage("Warning! External process announced a message of %u bytes; closing the connection.\n",
                           announced);
                break;
            default:
                logMessage("Warning! TCP read error from external process.\n");
                break;
        }
        // The stream is out of step: the next send connects afresh.
        dropConnection(socket, false);
        trimReceiveBuffer(m_receiveBuffer.capacity());
    }
    m_receiveMutex.unlock();
    return std::nullopt;
}

void ExternalProcess::trimReceiveBuffer(size_t bytes) {
    if (bytes > kKeptReceiveBytes && bytes / 2 > m_usualResponseBytes) m_receiveBuffer.release();
}

void ExternalProcess::releaseOutput() {
    if (m_mode == 0) {
        ipcChannelAcknowledge(m_fromProcess);
        return;
    }
    const size_t bytes = m_receiveBuffer.size();
    trimReceiveBuffer(bytes);
    m_usualResponseBytes = m_usualResponseBytes - m_usualResponseBytes / 8 + bytes / 8;
    m_receiveMutex.unlock();
}

void ExternalProcess::cancelReceive() {
    if (m_mode == 0) {
        {
            std::lock_guard<std::mutex> lock(m_connectionMutex);
            m_cancelled = true;
        }
        m_connectionCondition.notify_all();
        ipcChannelCancelReceive(m_fromProcess);
        return;
    }
    std::shared_ptr<TcpSocket> socket;
    {
        // Set under the lock, so a receive about to wait for a connection sees it.
        std::lock_guard<std::mutex> lock(m_connectionMutex);
        m_cancelled = true;
        socket = m_socket;
    }
    m_connectionCondition.notify_all();
    if (socket) socket->shutdownRead();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
