// The SDK helper library's own log lines.
//
// Lines go to stderr unless the plug-in installs a handler (for instance to
// route them into its own log). Each line is "[<prefix>] <message>\n"; the
// prefix names the library context and the object (see logPrefix).
// Thread-safe; never fails towards the caller.
#pragma once

#include <string>

namespace qz::sdk {

using LogHandler = void (*)(const char* line);

// Installs the handler that receives every complete line; null restores stderr.
void setLogHandler(LogHandler handler);

void sdkLog(const std::string& prefix, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The prefix of an object's lines: the context name (or "qz_sdk" before one
// is set), then `kind` ("_engine", "_device") and the ids, e.g.
// "qzai_plugin_device_1234".
std::string logPrefix(const std::string& kind = {}, const std::string& ids = {});

// Logs "ASSERTION FAILED: <file>:<line>: <text>" and goes on.
void reportAssertion(const char* file, int line, const char* text);

}  // namespace qz::sdk

#define QZ_SDK_ASSERT(condition, text) \
    ((condition) ? true : (::qz::sdk::reportAssertion(__FILE__, __LINE__, (text)), false))
