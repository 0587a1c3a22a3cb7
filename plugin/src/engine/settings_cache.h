// The per-camera settings cache: "<deviceId>_settings_cache.txt", one
// "key=value" line per received setting. Line breaks and backslashes in keys
// and values are escaped ("\n", "\r", "\\"), and "=" in keys as "\=", so any
// text survives the round trip. Each write goes to a temporary file of its
// own that is renamed over the cache, so neither a crash nor two overlapping
// writes leave half a file.
//
// Plain functions; thread-safe (of overlapping writes to one file, the last
// to finish wins).
#pragma once

#include <string>

#include "engine/settings_applier.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string settingsCachePath(const std::string& folder, const std::string& deviceId);

// Writes every setting except `selectedPipeline` and `deviceActiveSwitch`.
// False (and one log line) when the file cannot be written.
bool saveSettingsCache(const std::string& path, const SettingsMap& settings);

// The cached settings; empty when there is no cache. Malformed lines are
// skipped with a log line.
SettingsMap loadSettingsCache(const std::string& path);

// One line of the file without its '\n', and back. Decoding fails (false) on
// an empty key, a missing '=' or a dangling or unknown escape.
std::string encodeSettingsCacheLine(const std::string& key, const std::string& value);
bool decodeSettingsCacheLine(const std::string& line, std::string& key, std::string& value);

}  // namespace qz::vms_server_plugins::analytics::qzai
