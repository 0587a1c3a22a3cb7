// Shared-memory objects for the channels to external processes.
//
// This side creates anonymous memory files (memfd) sealed against shrinking:
// the other process may map and grow them but never cut pages away under
// this process's mappings, so touching a committed page can never raise
// SIGBUS here, whatever the other side does. A child reaches them through
// inherited descriptors, by the path "/proc/self/fd/<n>" (see
// sharedMemoryPathOf); a path is opened with open(2), any other name with
// shm_open as "/" + name. Nothing is left in /dev/shm when the last
// descriptor and mapping are gone.
//
// Thin wrappers that report failure through errno, for the channel's segment
// operations (external/ipc_channel.h), which add the logging and bookkeeping.
// Memory is committed with posix_fallocate, never with ftruncate alone: on
// tmpfs ftruncate always succeeds and a later touch of a page that cannot be
// backed raises SIGBUS, while fallocate fails cleanly with ENOSPC. A view is
// one mapping of the whole reserve (address space only); only the committed
// part of it may be touched. Names outlive their descriptors until unlinked.
// All functions are thread-safe (they keep no state).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

// The largest size a segment may reach, and the size of every view.
inline constexpr size_t kSharedMemoryReserveBytes = 209'715'200;

size_t sharedMemoryPageSize();
size_t roundUpToPage(size_t bytes);

// Creates a new memory file, close-on-exec, sealed against shrinking and
// against further seals; `label` only names it in /proc. -1 on failure.
int shmCreateSealed(const char* label);
// The path by which a process holding `fd` (under the same number) opens it.
std::string sharedMemoryPathOf(int fd);
// Opens an existing object for reading and writing. -1 on failure.
int shmOpenExisting(const char* name);
// Commits the first `bytes` (rounded up to whole pages); never shrinks.
// EFBIG above the reserve. False on failure with errno set.
bool shmCommit(int fd, size_t bytes);
// The object's current size (page-rounded, capped at the reserve). False on failure.
bool shmCommittedSize(int fd, size_t* bytes);
// Maps the whole reserve shared for reading and writing. Null on failure.
void* shmMapReserve(int fd);
void shmUnmapReserve(void* view);
void shmCloseHandle(int fd);

}  // namespace qz::vms_server_plugins::analytics::qzai
