// LogCapture: collects the plug-in log's lines while it lives, through the
// log's test sink, at the given verbosity (verbose by default; the previous
// verbosity and sink come back on destruction). Thread-safe: lines may arrive from any thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"

namespace qz::test {

class LogCapture final : public qz::vms_server_plugins::analytics::qzai::LogSink {
public:
    struct Line {
        int level = 0;
        std::string text;
        std::chrono::steady_clock::time_point at;
    };

    explicit LogCapture(int verbosity = 2)
        : m_verbosity(qz::vms_server_plugins::analytics::qzai::logVerbosity()),
          m_previous(qz::vms_server_plugins::analytics::qzai::setLogSink(this)) {
        qz::vms_server_plugins::analytics::qzai::setLogVerbosity(verbosity);
    }
    ~LogCapture() override {
        qz::vms_server_plugins::analytics::qzai::setLogSink(m_previous);
        qz::vms_server_plugins::analytics::qzai::setLogVerbosity(m_verbosity);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void line(int level, const char* text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({level, text, std::chrono::steady_clock::now()});
    }

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // The texts of the lines that start with `prefix`, in order.
    std::vector<std::string> starting(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const Line& l : lines())
            if (l.text.compare(0, prefix.size(), prefix) == 0) found.push_back(l.text);
        return found;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    const int m_verbosity;
    qz::vms_server_plugins::analytics::qzai::LogSink* const m_previous;
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

}  // namespace qz::test
