// Options a test harness hands the library through qzSetUnitTestOptions.
//
// Keys understood by this library:
//   "homeDir"  - used instead of the utility provider's home directory;
//   "iniPath"  - path of the configuration file to read instead of the default.
// Setting replaces all options at once. Thread-safe.
#pragma once

#include <string>

#include "qz/sdk/interface_ids.h"

namespace qz::sdk {

inline constexpr char kUnitTestOptionHomeDir[] = "homeDir";
inline constexpr char kUnitTestOptionIniPath[] = "iniPath";

// A null map is refused with a log line and leaves the options as they were.
void setUnitTestOptions(const IStringMap* options);

// The value of an option, empty when it is not set.
std::string unitTestOption(const std::string& key);

// Drops every option (when the library's last plug-in object is released).
void clearUnitTestOptions();

}  // namespace qz::sdk
