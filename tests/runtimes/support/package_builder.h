// Runtime packages for tests: PackageBuilder stages real files, folders and
// links and packs them with the real `tar -czf`; ustarArchive() writes
// members GNU tar refuses to create (absolute or ".." names, hard links to
// ".." names, device nodes) as a plain ustar archive, which tar reads whatever
// the file name says.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/run_command.h"
#include "common/support/temp_dir.h"

namespace qz::test {

class PackageBuilder {
public:
    PackageBuilder& file(const std::string& name, const std::string& content, mode_t mode = 0644) {
        const auto path = m_dir.path() / "tree" / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        ::chmod(path.c_str(), mode);
        return *this;
    }
    PackageBuilder& folder(const std::string& name) {
        std::filesystem::create_directories(m_dir.path() / "tree" / name);
        return *this;
    }
    PackageBuilder& symlink(const std::string& name, const std::string& target) {
        const auto path = m_dir.path() / "tree" / name;
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::create_symlink(target, path);
        return *this;
    }
    PackageBuilder& fifo(const std::string& name) {
        const auto path = m_dir.path() / "tree" / name;
        std::filesystem::create_directories(path.parent_path());
        ::mkfifo(path.c_str(), 0644);
        return *this;
    }
    // The packed bytes (gzip-compressed tar of the staged tree).
    std::string build() const {
        std::filesystem::create_directories(m_dir.path() / "tree");
        const std::string out = (m_dir.path() / "package.tar.gz").string();
        const auto result = vms_server_plugins::analytics::qzai::runCommand(
            {"tar", "--sort=name", "-czf", out, "-C", (m_dir.path() / "tree").string(), "."});
        if (result.exitCode != 0) throw std::runtime_error("tar -czf failed: " + result.output);
        std::ifstream in(out, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

private:
    TempDir m_dir;
};

struct UstarMember {
    std::string name;
    char type = '0';  // '0' file, '1' hard link, '2' symbolic link, '3' character device, '5' folder, '6' fifo
    std::string content;
    std::string linkName;
    unsigned mode = 0644;
};

inline std::string ustarArchive(const std::vector<UstarMember>& members) {
    std::string out;
    for (const auto& member : members) {
        char header[512];
        std::memset(header, 0, sizeof header);
        std::snprintf(header, 100, "%s", member.name.c_str());
        std::snprintf(header + 100, 8, "%07o", member.mode);
        std::snprintf(header + 108, 8, "%07o", 0u);
        std::snprintf(header + 116, 8, "%07o", 0u);
        std::snprintf(header + 124, 12, "%011o", static_cast<unsigned>(member.type == '0' ? member.content.size() : 0));
        std::snprintf(header + 136, 12, "%011o", 1700000000u);
        std::memset(header + 148, ' ', 8);
        header[156] = member.type;
        std::snprintf(header + 157, 100, "%s", member.linkName.c_str());
        std::memcpy(header + 257, "ustar\0" "00", 8);
        if (member.type == '3') {
            std::snprintf(header + 329, 8, "%07o", 1u);
            std::snprintf(header + 337, 8, "%07o", 3u);
        }
        unsigned sum = 0;
        for (unsigned char c : header) sum += c;
        std::snprintf(header + 148, 8, "%06o", sum);
        header[155] = ' ';
        out.append(header, sizeof header);
        if (member.type == '0') {
            out += member.content;
            out.append((512 - member.content.size() % 512) % 512, '\0');
        }
    }
    out.append(1024, '\0');
    return out;
}

}  // namespace qz::test
