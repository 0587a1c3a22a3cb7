// Runs a command line as a child process and captures what it prints.
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

struct CommandOutput {
    int exitCode = -1;   // 128 + signal number when a signal ended the child
    std::string output;  // standard output and standard error, merged in order
};

// Starts the command line without a shell (split into arguments at spaces and
// tabs, double quotes group; the program is looked up in PATH), waits for it
// to end and returns its exit code and merged output. A process that cannot
// be created gives exit code -1 and empty text. Blocks for as long as the
// child runs. Thread-safe.
CommandOutput runCommandCaptureOutput(const std::string& commandLine);

}  // namespace qz::vms_server_plugins::analytics::qzai
