// Collects the plug-in log's lines through a log sink while alive.
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
    ~LogCapture() override { vms_server_plugins::analytics::qzai::setLogSink(m_previous); }
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
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    vms_server_plugins::analytics::qzai::LogSink* m_previous;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace qz::test
