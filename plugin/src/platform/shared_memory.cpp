#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::string objectName(const char* name) { return std::string("/") + name; }

}  // namespace

size_t sharedMemoryPageSize() {
    static const size_t kPage = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return kPage;
}

size_t roundUpToPage(size_t bytes) {
    const size_t page = sharedMemoryPageSize();
    if (bytes > SIZE_MAX - page) return SIZE_MAX - SIZE_MAX % page;
    return (bytes + page - 1) / page * page;
}

int shmCreateSealed(const char* label) {
    const int fd = ::memfd_create(label, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string sharedMemoryPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int shmOpenExisting(const char* name) {
    if (name[0] == '/') return ::open(name, O_RDWR | O_CLOEXEC);
    return ::shm_open(objectName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
}

bool shmCommit(int fd, size_t bytes) {
    if (bytes > kSharedMemoryReserveBytes) {
        errno = EFBIG;
        return false;
    }
    const size_t rounded = roundUpToPage(std::max<size_t>(bytes, 1));
    const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(rounded));
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

bool shmCommittedSize(int fd, size_t* bytes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const size_t size = roundUpToPage(static_cast<size_t>(st.st_size));
    *bytes = std::min(size, kSharedMemoryReserveBytes);
    return true;
}

void* shmMapReserve(int fd) {
    void* view = ::mmap(nullptr, kSharedMemoryReserveBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

void shmUnmapReserve(void* view) {
    if (view != nullptr) ::munmap(view, kSharedMemoryReserveBytes);
}

void shmCloseHandle(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
