// Helpers of the settings tests: the plug-in log started in a fresh folder
// and read back, and the comparison of a model's root items with a golden
// file (a mismatch prints a unified diff).
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/support/log_files.h"
#include "common/support/temp_dir.h"

namespace qz::settings_test {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

// Starts the plug-in log in a temporary folder at the given verbosity; lines
// reads it back without the time prefix; the destructor closes it.
class LogCapture {
public:
    explicit LogCapture(int verbosity = 2) {
        qzai::startLog(m_dir.path().string(), "");
        qzai::setLogVerbosity(verbosity);
    }
    ~LogCapture() {
        qzai::closeLog();
        qzai::setLogVerbosity(1);
    }
    // Each line after its "<ms> <us>: " head.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& line : qz::test::readLogLines(m_dir.path() / qzai::kStartLogFileName)) {
            const size_t head = line.find(": ");
            out.push_back(head == std::string::npos ? line : line.substr(head + 2));
        }
        return out;
    }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const auto& line : lines()) n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

private:
    qz::test::TempDir m_dir;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::filesystem::path goldenPath(const std::string& relative) {
    return std::filesystem::path(QZ_SOURCE_DIR) / "tests/settings/golden" / relative;
}

// The model's root "items", pretty-printed as the golden files are.
inline std::string prettyItems(const std::string& modelText) {
    const auto model = nlohmann::ordered_json::parse(modelText);
    return model.at("items").dump(2) + "\n";
}

// Empty when `actual` equals the golden file's text; otherwise a unified
// diff (golden first).
inline std::string diffWithGolden(const std::string& relative, const std::string& actual) {
    const auto golden = goldenPath(relative);
    if (readFile(golden) == actual) return {};
    qz::test::TempDir dir;
    const std::string actualPath = dir.write("actual.json", actual);
    const std::string command = "diff -u '" + golden.string() + "' '" + actualPath + "' 2>&1";
    std::string diff = "mismatch with " + golden.string() + "\n";
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) diff.append(buffer, n);
        ::pclose(pipe);
    }
    return diff;
}

}  // namespace qz::settings_test
