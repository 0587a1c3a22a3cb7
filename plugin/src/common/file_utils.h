// Whole-file helpers. Plain functions; thread-safe; none of them throws;
// failures are empty results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// The whole file; empty optional when it cannot be opened or read.
std::optional<std::vector<uint8_t>> readBinaryFile(const std::string& path);
std::optional<std::string> readTextFile(const std::string& path);
// True when the file system reports an entry at the path (a dangling link
// counts).
bool fileExists(const std::string& path);
// MD5 of the file's bytes as 32 lower-case hex characters; empty when unreadable.
std::string fileMd5Hex(const std::string& path);
// Deletes the file; a missing file is nothing to do. On failure logs
// "Warning! Could not delete file: <path> (Error: <reason>)".
void deleteFile(const std::string& path);

// A file created empty, readable and writable by the owner alone (0600),
// whatever the process's umask, for keys, decrypted models and their
// temporary files. What stood at the path before, a link included, is removed
// first; the file is created exclusively and written through the descriptor
// that creation returned, never by opening the path again, so nothing swapped
// in at the path meanwhile is written through. One owner; not thread-safe.
class OwnerOnlyFile {
public:
    explicit OwnerOnlyFile(std::string path);
    ~OwnerOnlyFile();  // closes the file (keeping what was written)
    OwnerOnlyFile(const OwnerOnlyFile&) = delete;
    OwnerOnlyFile& operator=(const OwnerOnlyFile&) = delete;

    // False when the file could not be created.
    bool isOpen() const { return m_fd >= 0; }
    // Appends all of the bytes; false when the file is not open or a write failed.
    bool write(const void* data, size_t size);
    // Closes the file. True when every write went through and the path still
    // names this file (nothing was swapped in there meanwhile).
    bool close();
    // Closes the file and renames it to `target`, replacing what is there.
    // True when every write went through and `target` then names this file;
    // a file swapped in at either path is never renamed into place or left
    // at `target`. On failure the file may remain at its own path.
    bool moveTo(const std::string& target);

private:
    bool finish(const std::string* target);

    std::string m_path;
    int m_fd = -1;
    bool m_ok = false;
};
// Creates the folder and its parents; the folder itself is left to the
// owner alone (0700), also when it existed. False (with a log line) on failure.
bool makeOwnerOnlyFolder(const std::string& path);

}  // namespace qz::vms_server_plugins::analytics::qzai
