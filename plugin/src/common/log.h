// The process-wide plug-in log.
//
// logMessage writes at the basic level (verbosity >= 1), logInfo at the
// verbose level (verbosity >= 2). The format carries its own severity word and
// line end. Both are thread-safe, never fail towards the caller, and are
// cheap no-ops when the verbosity filters them out.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai {

void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qz::vms_server_plugins::analytics::qzai
