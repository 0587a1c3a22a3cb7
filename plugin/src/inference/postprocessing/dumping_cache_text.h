// The text of the known boxes file "dumping_known_bboxes.json", apart from
// file I/O: {"<device id>":[{"x":..,"y":..,"width":..,"height":..},..],..},
// devices in id order, written compactly, every number a real.
// Plain functions; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

using KnownBoxes = std::map<std::string, std::vector<BoxXywh>>;  // by device id

// The file is ours and small; anything larger is not one we wrote.
inline constexpr uintmax_t kMaxDumpingCacheFileBytes = 16u * 1024u * 1024u;
inline constexpr const char* kDumpingCacheParseWarning = "Warning: Failed to parse dumping known bboxes cache: %s\n";

// The boxes of a file's text, or nullopt with the warning to log (a format
// with one "%s" for the path). Devices whose value is not an array, and boxes
// that lack a member or hold a number no float can, are left out; a member
// that is not a number reads as 0.
std::optional<KnownBoxes> parseDumpingCache(const std::string& text, const char** warning);
// Never throws for want of valid UTF-8 (such device ids get U+FFFD).
std::string serializeDumpingCache(const KnownBoxes& boxes);

}  // namespace qz::vms_server_plugins::analytics::qzai
