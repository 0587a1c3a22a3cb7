#include "common/log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini.h"
#include "common/text_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::atomic<int> g_verbosity{1};
std::atomic<bool> g_profiling{false};
// Set once the state below has been destroyed at process exit; lines written
// after that go to standard error without touching it.
std::atomic<bool> g_stateGone{false};
std::atomic<LogSink*> g_sink{nullptr};
std::mutex g_sinkMutex;  // held while a sink runs, so removing one waits for it

struct LogState {
    std::mutex mutex;
    std::FILE* file = nullptr;
    bool onMainLog = false;
    uint64_t fileSize = 0;
    uint64_t threshold = kLogRotationBytes;
    std::filesystem::path directory;
    std::string prefix;
    bool haveLastLine = false;
    std::chrono::steady_clock::time_point lastLine;

    ~LogState() {
        g_stateGone = true;
        if (file) std::fclose(file);
    }
};

LogState& state() {
    static LogState instance;
    return instance;
}

uint64_t currentSize(std::FILE* file) {
    const long pos = std::ftell(file);
    return pos > 0 ? static_cast<uint64_t>(pos) : 0;
}

// Caller holds the mutex.
void closeFileLocked(LogState& s) {
    if (s.file) std::fclose(s.file);
    s.file = nullptr;
}

// Caller holds the mutex. Hands the start log over to the main log, or moves
// a main log that passed the threshold to ".old" and starts it afresh.
void rotateIfNeededLocked(LogState& s) {
    if (!s.file) return;
    if (!s.onMainLog && s.fileSize >= s.threshold) {
        closeFileLocked(s);
        s.onMainLog = true;
        s.file = std::fopen((s.directory / kMainLogFileName).c_str(), "ab");
        s.fileSize = s.file ? currentSize(s.file) : 0;
    }
    if (s.onMainLog && s.file && s.fileSize > s.threshold) {
        closeFileLocked(s);
        const std::filesystem::path main = s.directory / kMainLogFileName;
        std::error_code ec;
        std::filesystem::rename(main, main.string() + ".old", ec);
        s.file = std::fopen(main.c_str(), ec ? "ab" : "wb");
        s.fileSize = s.file ? currentSize(s.file) : 0;
    }
}

void writeHeadAndText(std::FILE* out, const char* prefix, unsigned long long ms, unsigned long long us,
                      const char* text, size_t length, uint64_t* written) {
    const int headLength = std::fprintf(out, "%s%llu %09llu: ", prefix, ms, us);
    std::fwrite(text, 1, length, out);
    std::fflush(out);
    if (written) *written += static_cast<uint64_t>(headLength > 0 ? headLength : 0) + length;
}

bool isOneLineFormat(const char* format) {
    const char* newline = std::strchr(format, '\n');
    return !newline || newline[1] == '\0';
}

void writeLine(int level, const char* format, va_list args) {
    if (g_verbosity.load(std::memory_order_relaxed) < level || !format) return;

    // Format outside the lock; most lines fit the stack buffer.
    char stackBuffer[1024];
    std::vector<char> heapBuffer;
    const char* text = stackBuffer;
    va_list copy;
    va_copy(copy, args);
    int length = formatToBuffer(stackBuffer, sizeof(stackBuffer), format, args);
    if (length < 0) {
        static constexpr char kBadFormat[] = "Error! Log line could not be formatted.\n";
        text = kBadFormat;
        length = sizeof(kBadFormat) - 1;
    } else if (static_cast<size_t>(length) >= sizeof(stackBuffer)) {
        heapBuffer.resize(static_cast<size_t>(length) + 1);
        formatToBuffer(heapBuffer.data(), heapBuffer.size(), format, copy);
        text = heapBuffer.data();
    }
    va_end(copy);

    // A format without a line break inside makes one line: breaks that came
    // in with the values (texts from the host or a server) are written as
    // "\n" and "\r", so no value can forge a line of its own.
    std::string oneLine;
    if (length > 0 && isOneLineFormat(format)) {
        const size_t body = static_cast<size_t>(length) - (text[length - 1] == '\n' ? 1 : 0);
        const std::string_view values(text, body);
        if (values.find_first_of("\r\n") != std::string_view::npos) {
            for (const char c : values) {
                if (c == '\n') oneLine += "\\n";
                else if (c == '\r') oneLine += "\\r";
                else oneLine += c;
            }
            oneLine.append(text + body, static_cast<size_t>(length) - body);
            text = oneLine.c_str();
            length = static_cast<int>(oneLine.size());
        }
    }

    if (g_sink.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> sinkLock(g_sinkMutex);
        if (LogSink* sink = g_sink.load(std::memory_order_acquire)) {
            sink->logLine(level, std::string(text, static_cast<size_t>(length)));
        }
    }

    const auto msSince1970 = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    if (g_stateGone.load()) {
        writeHeadAndText(stderr, "", msSince1970, 0, text, static_cast<size_t>(length), nullptr);
        return;
    }

    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto now = std::chrono::steady_clock::now();
    const auto usSincePrevious = s.haveLastLine
        ? static_cast<unsigned long long>(
              std::chrono::duration_cast<std::chrono::microseconds>(now - s.lastLine).count())
        : 0ULL;
    s.haveLastLine = true;
    s.lastLine = now;

    rotateIfNeededLocked(s);
    if (s.file) {
        writeHeadAndText(s.file, s.prefix.c_str(), msSince1970, usSincePrevious, text,
                         static_cast<size_t>(length), &s.fileSize);
        rotateIfNeededLocked(s);
    } else {
        writeHeadAndText(stderr, s.prefix.c_str(), msSince1970, usSincePrevious, text,
                         static_cast<size_t>(length), nullptr);
    }
}

}  // namespace

void logMessage(const char* format, ...) {
    if (g_verbosity.load(std::memory_order_relaxed) < 1) return;
    va_list args;
    va_start(args, format);
    writeLine(1, format, args);
    va_end(args);
}

void logInfo(const char* format, ...) {
    if (g_verbosity.load(std::memory_order_relaxed) < 2) return;
    va_list args;
    va_start(args, format);
    writeLine(2, format, args);
    va_end(args);
}

bool startLog(const std::string& directory, const std::string& prefix) {
    // Read the configuration before taking the log's mutex: building it may log.
    const Ini& config = ini();
    g_verbosity = config.logVerbosity;
    g_profiling = config.enableProfiling;

    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    closeFileLocked(s);
    s.directory = directory;
    s.prefix = prefix;
    s.onMainLog = false;
    s.fileSize = 0;
    if (!config.logToFile) return true;
    s.file = std::fopen((s.directory / kStartLogFileName).c_str(), "wb");
    if (!s.file) {
        std::fprintf(stderr, "%sError! Could not open the log file in %s: %s\n", prefix.c_str(), directory.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

void closeLog() {
    if (g_stateGone.load()) return;
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    closeFileLocked(s);
}

LogSink* setLogSink(LogSink* sink) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    return g_sink.exchange(sink, std::memory_order_acq_rel);
}

void setLogVerbosity(int verbosity) { g_verbosity = verbosity; }
int logVerbosity() { return g_verbosity.load(); }

void setProfilingEnabled(bool enabled) { g_profiling = enabled; }
bool profilingEnabled() { return g_profiling.load(); }

void setLogRotationThreshold(uint64_t bytes) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.threshold = bytes;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
