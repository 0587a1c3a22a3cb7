// Watching processes that tests do not own (e.g. ones a child left behind).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace qz::test {

// Gone, or a zombie waiting for its new parent to reap it.
inline bool processEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// Waits until the condition holds; false when it still does not after a long while.
inline bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace qz::test
