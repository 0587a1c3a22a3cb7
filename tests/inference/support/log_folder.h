// The plug-in log written to a scratch folder at the verbose level, so tests
// can count the lines the code under test wrote.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/log.h"

namespace engine_test {

class LogFolder {
public:
    explicit LogFolder(const std::string& tag)
        : m_dir(std::filesystem::temp_directory_path() / ("qz_" + tag + "_" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(m_dir);
        qz::vms_server_plugins::analytics::qzai::startLog(m_dir.string(), "T: ");
        qz::vms_server_plugins::analytics::qzai::setLogVerbosity(2);
    }
    ~LogFolder() {
        qz::vms_server_plugins::analytics::qzai::closeLog();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    // Occurrences of `text` in the log so far.
    size_t count(const std::string& text) const {
        std::ifstream in(m_dir / qz::vms_server_plugins::analytics::qzai::kStartLogFileName);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t n = 0;
        for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) ++n;
        return n;
    }

private:
    std::filesystem::path m_dir;
};

}  // namespace engine_test
