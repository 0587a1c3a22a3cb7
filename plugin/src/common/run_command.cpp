#include "common/run_command.h"

#include "common/log.h"
#include "platform/process.h"

namespace qz::vms_server_plugins::analytics::qzai {

CommandOutput runCommandCaptureOutput(const std::string& commandLine) {
    std::string error;
    const auto child = ChildProcess::start(splitCommandLine(commandLine), /*captureOutput*/ true, &error);
    if (!child) {
        logInfo("Info: Could not start \"%s\": %s\n", commandLine.c_str(), error.c_str());
        return {};
    }
    CommandOutput result;
    result.output = child->readAllOutput();
    result.exitCode = child->wait();
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
