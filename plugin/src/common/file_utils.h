// Whole-file helpers. Plain functions; thread-safe; none of them throws;
// failures are empty results.
#pragma once

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

// Creates the file empty, readable and writable by the owner alone (0600),
// whatever the process's umask; later opens keep that mode. What stood at the
// path before, a link included, is removed first and never written through.
// For keys, decrypted models and their temporary files. False on failure.
bool createOwnerOnlyFile(const std::string& path);
// Creates the folder and its parents; the folder itself is left to the
// owner alone (0700), also when it existed. False (with a log line) on failure.
bool makeOwnerOnlyFolder(const std::string& path);

}  // namespace qz::vms_server_plugins::analytics::qzai
