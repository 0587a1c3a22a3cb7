// A log sink that tests wait on: it keeps the plug-in log's lines while
// installed (from construction to destruction) and wakes waiters on every
// new line, so a test waits for the line it expects instead of for time.
// Install it before the code under test starts and destroy it after that
// code has stopped; only one sink is active at a time.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"

namespace qz::test {

class LogWaiter : public vms_server_plugins::analytics::qzai::LogSink {
public:
    LogWaiter() : m_previous(vms_server_plugins::analytics::qzai::setLogSink(this)) {}
    ~LogWaiter() override { vms_server_plugins::analytics::qzai::setLogSink(m_previous); }
    LogWaiter(const LogWaiter&) = delete;
    LogWaiter& operator=(const LogWaiter&) = delete;

    void logLine(int level, const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back({level, text});
        }
        m_changed.notify_all();
    }

    // Lines that contain the fragment, at any level or at `level` (1 basic,
    // 2 verbose).
    size_t count(const std::string& fragment, int level = 0) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return countLocked(fragment, level);
    }

    // Waits until `n` lines contain the fragment; false when the generous
    // deadline (a guard against a hang, not a timing) passes first.
    bool waitForCount(const std::string& fragment, size_t n,
                      std::chrono::milliseconds deadline = std::chrono::seconds(30)) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, deadline, [&] { return countLocked(fragment) >= n; });
    }

    std::string text() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string all;
        for (const auto& line : m_lines) all += line.second;
        return all;
    }

private:
    size_t countLocked(const std::string& fragment, int level = 0) const {
        return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(), [&](const auto& line) {
            return (level == 0 || line.first == level) && line.second.find(fragment) != std::string::npos;
        }));
    }

    vms_server_plugins::analytics::qzai::LogSink* m_previous;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::pair<int, std::string>> m_lines;  // level, text
};

}  // namespace qz::test
