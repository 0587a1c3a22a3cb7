// Runs a command as a child process and captures what it prints.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Captured output is kept up to this many bytes (16 MiB); the rest is read and
// dropped with one log line, and the result says it was cut.
inline constexpr size_t kMaxCommandOutputBytes = size_t{16} << 20;

struct CommandOutput {
    int exitCode = -1;   // 128 + signal number when a signal ended the child
    std::string output;  // standard output and standard error, merged in order
    // More than kMaxCommandOutputBytes came: `output` holds only the first
    // ones and must not be taken for the whole.
    bool truncated = false;
};

struct RunOptions {
    // Longest run; zero or less waits for as long as the child runs.
    std::chrono::milliseconds timeout{0};
    // Polled while the child runs; true stops it. May be null.
    const std::atomic<bool>* cancel = nullptr;
    // The child's whole environment ("NAME=value"); the program is then looked
    // up in its PATH. Empty: the parent's environment and PATH.
    std::optional<std::vector<std::string>> environment;
    // The child's standard input, block by block: called whenever the child
    // can take more, it replaces `block` with the next bytes and returns
    // false at the end, where the input is closed. Also closed, without
    // further calls, when the child stops reading. Unset: /dev/null. The
    // cancel flag and the time-out are looked at between calls only, so a
    // call must not take long; it may hand over no bytes and be called again.
    std::function<bool(std::string& block)> input;
    // Sees the output as it is read, piece by piece (the pieces past the
    // capture cap too); returning false stops the child as a cancel does.
    // Unset: the output is only captured.
    std::function<bool(std::string_view piece)> output;
};

// Starts argv without a shell, in a process group of its own, feeds its input
// (if any) and reads its merged output until the output ends and the child has
// exited; a child that
// exits while a process it started still holds the output open has not
// finished. On time-out, cancel or a stop by the output reader the whole
// group is killed, the child reaped,
// one line logged, and the result is -1 with empty text; so is a process that
// cannot be created. Thread-safe; blocks the caller while the child runs.
CommandOutput runCommand(const std::vector<std::string>& argv, const RunOptions& options = {});

// runCommand of the command line split into arguments (splitCommandLine:
// spaces and tabs separate, double quotes group), with no time-out.
CommandOutput runCommandCaptureOutput(const std::string& commandLine);

}  // namespace qz::vms_server_plugins::analytics::qzai
