#include "common/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "common/qzai_crypto.h"

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

OwnerOnlyFile::OwnerOnlyFile(std::string path) : m_path(std::move(path)) {
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) return;
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // The umask may have taken bits away.
    m_ok = m_fd >= 0 && ::fchmod(m_fd, 0600) == 0;
}

OwnerOnlyFile::~OwnerOnlyFile() {
    if (m_fd >= 0) ::close(m_fd);
}

bool OwnerOnlyFile::write(const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (m_ok && size > 0) {
        const ssize_t n = ::write(m_fd, next, size);
        if (n < 0 && errno == EINTR) continue;
        m_ok = n > 0;
        if (n > 0) {
            next += n;
            size -= static_cast<size_t>(n);
        }
    }
    return m_ok;
}

bool OwnerOnlyFile::close() { return finish(nullptr); }

bool OwnerOnlyFile::moveTo(const std::string& target) { return finish(&target); }

bool OwnerOnlyFile::finish(const std::string* target) {
    if (m_fd < 0) return false;
    struct stat written {};
    const auto names = [&written](const std::string& path) {
        struct stat atPath {};
        return ::lstat(path.c_str(), &atPath) == 0 && written.st_dev == atPath.st_dev &&
               written.st_ino == atPath.st_ino;
    };
    bool ok = m_ok && ::fstat(m_fd, &written) == 0 && names(m_path);
    if (ok && target) {
        ok = ::rename(m_path.c_str(), target->c_str()) == 0;
        // Swapped in between the look and the rename: it goes, not the target's old file.
        if (ok && !names(*target)) {
            ::unlink(target->c_str());
            ok = false;
        }
    }
    ok = ::close(m_fd) == 0 && ok;
    m_fd = -1;
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
