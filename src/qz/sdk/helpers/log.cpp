#include "qz/sdk/helpers/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "qz/sdk/helpers/lib_context.h"

namespace qz::sdk {

namespace {
constinit std::atomic<LogHandler> g_handler{nullptr};
}  // namespace

void setLogHandler(LogHandler handler) { g_handler.store(handler); }

void sdkLog(const std::string& prefix, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line = "[" + prefix + "] ";
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        line.append(buffer.data(), static_cast<size_t>(length));
    }
    va_end(args);
    if (line.empty() || line.back() != '\n') line += '\n';
    if (LogHandler handler = g_handler.load()) {
        handler(line.c_str());
    } else {
        std::fputs(line.c_str(), stderr);
    }
}

std::string logPrefix(const std::string& kind, const std::string& ids) {
    const char* name = libContext().name();
    std::string prefix = (name && *name) ? name : "qz_sdk";
    prefix += kind;
    if (!ids.empty()) prefix += "_" + ids;
    return prefix;
}

void reportAssertion(const char* file, int line, const char* text) {
    sdkLog(logPrefix(), "ASSERTION FAILED: %s:%d: %s", file, line, text ? text : "");
}

}  // namespace qz::sdk
