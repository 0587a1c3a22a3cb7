#include "platform/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qz::vms_server_plugins::analytics::qzai {
namespace {

std::string systemText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not use the buffer.
    return strerror_r(error, buffer, sizeof(buffer));
}

AtomicWriteResult failure(AtomicWriteResult::Step step, int error) {
    return {step, systemText(error)};
}

bool writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

AtomicWriteResult replaceFileAtomically(const std::string& path, std::string_view content) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return failure(AtomicWriteResult::Step::Open, errno);

    AtomicWriteResult result;
    if (!writeAll(fd, content)) result = failure(AtomicWriteResult::Step::Write, errno);
    else if (::fsync(fd) != 0) result = failure(AtomicWriteResult::Step::Sync, errno);
    if (::close(fd) != 0 && result.ok()) result = failure(AtomicWriteResult::Step::Close, errno);
    if (result.ok() && ::rename(temporary.c_str(), path.c_str()) != 0)
        result = failure(AtomicWriteResult::Step::Rename, errno);
    if (!result.ok()) {
        ::unlink(temporary.c_str());
        return result;
    }

    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const int folderFd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return failure(AtomicWriteResult::Step::SyncFolder, errno);
    if (::fsync(folderFd) != 0) result = failure(AtomicWriteResult::Step::SyncFolder, errno);
    ::close(folderFd);
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
