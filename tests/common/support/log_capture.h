// Collects the plug-in log's lines through a log sink while alive. Given a
// verbosity, it also sets the log's verbosity and restores it afterwards.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"

namespace qz::test {

class LogCapture : public vms_server_plugins::analytics::qzai::LogSink {
public:
    LogCapture() : m_previous(vms_server_plugins::analytics::qzai::setLogSink(this)) {}
    explicit LogCapture(int verbosity) : LogCapture() {
        m_verbosity = vms_server_plugins::analytics::qzai::logVerbosity();
        vms_server_plugins::analytics::qzai::setLogVerbosity(verbosity);
    }
    ~LogCapture() override {
        vms_server_plugins::analytics::qzai::setLogSink(m_previous);
        if (m_verbosity >= 0) vms_server_plugins::analytics::qzai::setLogVerbosity(m_verbosity);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void logLine(int, const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(text);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    bool contains(const std::string& line) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end();
    }
    // Lines that contain the fragment.
    size_t count(const std::string& fragment) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(), [&](const std::string& l) {
            return l.find(fragment) != std::string::npos;
        }));
    }
    // The lines that start with the prefix, in order.
    std::vector<std::string> starting(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> found;
        for (const std::string& l : m_lines)
            if (l.compare(0, prefix.size(), prefix) == 0) found.push_back(l);
        return found;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    vms_server_plugins::analytics::qzai::LogSink* m_previous;
    int m_verbosity = -1;  // restored when set
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace qz::test
