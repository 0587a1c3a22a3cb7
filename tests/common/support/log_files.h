// Reading the plug-in's log files back in tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qz::test {

// The file's lines without their '\n'; a last line without '\n' is returned
// with a trailing "<no line end>" marker so tests can see it.
inline std::vector<std::string> readLogLines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start) + "<no line end>");
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace qz::test
