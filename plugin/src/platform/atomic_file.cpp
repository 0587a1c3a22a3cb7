#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// The process's file-creation mask, read without changing it (umask() would
// set it, racing other threads); 022 when the kernel does not report it.
mode_t creationMask() {
    FILE* status = std::fopen("/proc/self/status", "re");
    if (!status) return 022;
    char line[256];
    unsigned mask = 022;
    while (std::fgets(line, sizeof(line), status)) {
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    }
    std::fclose(status);
    return static_cast<mode_t>(mask);
}

}  // namespace

AtomicWriteResult replaceFileAtomically(const std::string& path, std::string_view content) {
    std::string temporary = path + ".tmpXXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return failure(AtomicWriteResult::Step::Open, errno);

    AtomicWriteResult result;
    // mkostemp creates the file for its owner only; the target gets the mode
    // a plain create would have given it.
    if (::fchmod(fd, 0644 & ~creationMask()) != 0) result = failure(AtomicWriteResult::Step::Open, errno);
    else if (!writeAll(fd, content)) result = failure(AtomicWriteResult::Step::Write, errno);
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
