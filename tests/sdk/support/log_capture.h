// LogCapture: collects the SDK's log lines while it lives (one at a time).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "qz/sdk/helpers/log.h"

namespace qz::sdk::test {

class LogCapture {
public:
    LogCapture() { setLogHandler(&LogCapture::collect); }
    ~LogCapture() {
        setLogHandler(nullptr);
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }

    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex());
        std::string all;
        for (const auto& line : lines()) all += line;
        return all;
    }
    size_t count() const {
        std::lock_guard<std::mutex> lock(mutex());
        return lines().size();
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void collect(const char* line) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().push_back(line);
    }
};

}  // namespace qz::sdk::test
