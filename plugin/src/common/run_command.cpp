#include "common/run_command.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/log.h"
#include "platform/process.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait lasts before the deadline and the cancel flag are checked again.
constexpr int kTickMs = 20;

std::string joinArgs(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& arg : argv) {
        if (!line.empty()) line += ' ';
        line += arg;
    }
    return line;
}

}  // namespace

CommandOutput runCommand(const std::vector<std::string>& argv, const RunOptions& options) {
    std::string error;
    StartOptions start;
    start.captureOutput = true;
    start.environment = options.environment;
    start.newProcessGroup = true;
    start.feedInput = static_cast<bool>(options.input);
    const auto child = ChildProcess::start(argv, start, &error);
    if (!child) {
        logInfo("Info: Could not start \"%s\": %s\n", joinArgs(argv).c_str(), error.c_str());
        return {};
    }

    const bool bounded = options.timeout.count() > 0;
    const auto deadline = Clock::now() + options.timeout;
    const char* readerStop = nullptr;  // set when the output reader wants no more
    auto stopReason = [&]() -> const char* {
        if (readerStop) return readerStop;
        if (options.cancel && options.cancel->load()) return "cancelled";
        if (bounded && Clock::now() >= deadline) return "timed out";
        return nullptr;
    };

    CommandOutput result;
    std::optional<int> exitCode;
    const char* stopped = nullptr;
    bool truncated = false;
    char buffer[16384];
    std::string pending;  // input taken from the source, not yet sent from `sent` on
    size_t sent = 0;
    const auto readOutput = [&] {
        const ssize_t n = ::read(child->outputFd(), buffer, sizeof(buffer));
        if (n > 0) {
            // Output past the cap is read (so the child never blocks) and dropped.
            const size_t room = kMaxCommandOutputBytes - std::min(result.output.size(), kMaxCommandOutputBytes);
            result.output.append(buffer, std::min(room, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) > room && !truncated) {
                truncated = true;
                logMessage("Warning! Output of \"%s\" passed %zu bytes; the rest is dropped.\n",
                           joinArgs(argv).c_str(), kMaxCommandOutputBytes);
            }
            if (options.output && !readerStop && !options.output(std::string_view(buffer, static_cast<size_t>(n)))) {
                readerStop = "refused by its output reader";
            }
        } else if (n == 0 || errno != EINTR) {
            child->closeOutput();  // end of output (or a broken pipe)
        }
    };
    const auto writeInput = [&] {
        if (sent == pending.size()) {
            pending.clear();
            sent = 0;
            if (!options.input(pending)) {
                child->closeInput();
                return;
            }
            // Nothing this time: the deadline and the cancel flag are looked
            // at before the source is asked again.
            if (pending.empty()) return;
        }
        const ssize_t n = ::send(child->inputFd(), pending.data() + sent, pending.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            child->closeInput();  // the child no longer reads
        }
    };
    while (!stopped) {
        pollfd fds[2];
        nfds_t count = 0;
        if (child->outputFd() >= 0) fds[count++] = pollfd{child->outputFd(), POLLIN, 0};
        if (child->inputFd() >= 0) fds[count++] = pollfd{child->inputFd(), POLLOUT, 0};
        if (count > 0) {
            const int ready = ::poll(fds, count, kTickMs);
            if (ready < 0 && errno != EINTR) {
                child->closeInput();
                child->closeOutput();
            }
            for (nfds_t i = 0; ready > 0 && i < count; ++i) {
                if (fds[i].revents == 0) continue;
                if (fds[i].fd == child->outputFd()) readOutput();
                // A child that closed its input is seen here too, also while
                // the source hands over no bytes to try sending.
                else if (fds[i].revents & (POLLHUP | POLLERR)) child->closeInput();
                else writeInput();
            }
        } else {
            exitCode = child->poll();
            if (exitCode) break;
            // The output has ended but the child still runs.
            ::poll(nullptr, 0, kTickMs);
        }
        stopped = stopReason();
    }

    if (stopped) {
        // The leader is not reaped yet, so the group's id is still reserved
        // and this reaches exactly the child and what it started.
        child->killGroup();
        child->kill();
        child->wait();
        logMessage("Warning! Command \"%s\" %s; its processes were stopped.\n", joinArgs(argv).c_str(), stopped);
        return {};
    }
    result.exitCode = *exitCode;
    result.truncated = truncated;
    return result;
}

CommandOutput runCommandCaptureOutput(const std::string& commandLine) {
    return runCommand(splitCommandLine(commandLine));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
