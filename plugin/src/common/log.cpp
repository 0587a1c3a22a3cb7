#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
std::mutex g_logMutex;

void writeLine(const char* format, va_list args) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::vfprintf(stderr, format, args);
}
}  // namespace

void logMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

void logInfo(const char*, ...) {}

}  // namespace qz::vms_server_plugins::analytics::qzai
