// The process-wide plug-in log.
//
// logMessage writes at the basic level (verbosity >= 1), logInfo at the
// verbose level (verbosity >= 2). The format carries its own severity word and
// line end. Every line starts with "<prefix><ms since 1970> <us since the
// previous line, 9 digits>: ".
//
// Files (in the directory given to startLog): "qzai_plugin_start.log" takes
// the lines until it holds the rotation threshold (10,000,000 bytes); then
// "qzai_plugin.log" takes over, and each time it passes the threshold it is
// renamed to "qzai_plugin.log.old" (replacing the previous one) and started
// afresh. The start log is truncated by startLog; the main log is appended to.
//
// Before startLog, after closeLog, with `logToFile` off, or when a file cannot
// be opened, lines go to standard error. One process-wide mutex serialises
// whole lines. Everything here is thread-safe and never fails towards the
// caller; a line filtered out by the verbosity costs no formatting.
#pragma once

#include <cstdint>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr const char* kStartLogFileName = "qzai_plugin_start.log";
inline constexpr const char* kMainLogFileName = "qzai_plugin.log";
inline constexpr uint64_t kLogRotationBytes = 10'000'000;

void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Starts (or restarts) the file log in `directory` with the line prefix (the
// plug-in uses "AI Plugin: "). Takes `logToFile`, `logVerbosity` and
// `enableProfiling` from ini(). False when the start log cannot be opened
// (lines then go to standard error).
bool startLog(const std::string& directory, const std::string& prefix);
// Closes the files; later lines go to standard error. Safe to call repeatedly.
void closeLog();

// 0 silences the log, 1 basic, 2 verbose.
void setLogVerbosity(int verbosity);
int logVerbosity();

// Switch read by ScopedTimer.
void setProfilingEnabled(bool enabled);
bool profilingEnabled();

// Receives every line that passes the verbosity filter, formatted but without
// the line head, on the logging thread and outside the log's mutex; it must be
// thread-safe. Lines still go to the file or standard error as well.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void logLine(int level, const std::string& text) = 0;
};
// Installs the sink (null removes it) and returns the previous one. The caller
// keeps the sink alive until it has been removed again.
LogSink* setLogSink(LogSink* sink);

// For tests: the size at which the files hand over / rotate.
void setLogRotationThreshold(uint64_t bytes);

}  // namespace qz::vms_server_plugins::analytics::qzai
