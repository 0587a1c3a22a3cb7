// Runtime packages for tests: PackageBuilder stages real files, folders and
// links and packs them with the real `tar -czf`; ustarArchive() writes
// members GNU tar refuses to create (absolute or ".." names, hard links to
// ".." names, device nodes, links and folders carrying data, sizes announced
// but not sent) as a plain ustar archive, which tar reads whatever the file
// name says; gzipped() (common/support/gzipped.h) compresses any bytes as
// gzip does.
#pragma once

#include <sys/stat.h>
#include <unistd.h>


#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/run_command.h"
#include "common/support/gzipped.h"
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
    // The size the header announces when it is not the content's; sizes past
    // eleven octal digits are written base-256, as GNU tar does.
    std::optional<uint64_t> announcedSize = std::nullopt;
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
        const uint64_t size = member.announcedSize.value_or(member.content.size());
        if (size <= 077777777777) {
            std::snprintf(header + 124, 12, "%011llo", static_cast<unsigned long long>(size));
        } else {
            header[124] = static_cast<char>(0x80);
            for (int i = 0; i < 8; ++i) header[135 - i] = static_cast<char>(size >> (8 * i));
        }
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
        out += member.content;
        out.append((512 - member.content.size() % 512) % 512, '\0');
    }
    out.append(1024, '\0');
    return out;
}

}  // namespace qz::test
