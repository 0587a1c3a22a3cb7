#include "common/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "qzai_crypto.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

template <class Container>
std::optional<Container> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Container content;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec) content.reserve(static_cast<size_t>(size));
    // istream::read turns a read error (a directory, an I/O error) into
    // badbit; reading through the stream buffer directly would throw instead.
    char block[64 * 1024];
    while (in.read(block, sizeof(block)) || in.gcount() > 0) {
        content.insert(content.end(), block, block + in.gcount());
    }
    if (in.bad()) return std::nullopt;
    return content;
}

}  // namespace

std::optional<std::vector<uint8_t>> readBinaryFile(const std::string& path) {
    return readWholeFile<std::vector<uint8_t>>(path);
}

std::optional<std::string> readTextFile(const std::string& path) { return readWholeFile<std::string>(path); }

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found && !ec;
}

std::string fileMd5Hex(const std::string& path) { return md5HexOfFile(path); }

void deleteFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) logMessage("Warning! Could not delete file: %s (Error: %s)\n", path.c_str(), ec.message().c_str());
}

bool createOwnerOnlyFile(const std::string& path) {
    // Whatever stands at the path (an old file, or a link planted there) is
    // removed, never written through; the new file is created exclusively.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = ::fchmod(fd, 0600) == 0;  // the umask may have taken bits away
    ::close(fd);
    return ok;
}

bool makeOwnerOnlyFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!ec) std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
    if (ec) logMessage("Error! Could not create folder %s: %s\n", path.c_str(), ec.message().c_str());
    return !ec;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
