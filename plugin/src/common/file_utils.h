// Whole-file helpers. None of them throws; failures are empty results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

std::optional<std::vector<uint8_t>> readBinaryFile(const std::string& path);
std::optional<std::string> readTextFile(const std::string& path);
bool fileExists(const std::string& path);
// MD5 of the file's bytes as 32 lower-case hex characters; empty when unreadable.
std::string fileMd5Hex(const std::string& path);
// Deletes the file; on failure logs "Warning! Could not delete file: ...".
void deleteFile(const std::string& path);

}  // namespace qz::vms_server_plugins::analytics::qzai
