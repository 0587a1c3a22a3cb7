// Options a test harness hands the library through qzSetUnitTestOptions.
//
// Keys understood by this library:
//   "homeDir"  - used instead of the utility provider's home directory;
//   "iniPath"  - path of the configuration file to read instead of the default.
// Setting replaces all options at once. A host sets its options before it
// creates its plug-in object, possibly while an earlier host's last objects
// are still alive; the options belong to the use of the library that starts
// next. Thread-safe.
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

// When a use of the library starts (its first plug-in object): the options
// set so far are that use's.
void claimUnitTestOptions();
// When that use ends (its last object is released): drops its options.
// Options set after it started are kept for the next use.
void retireUnitTestOptions();

}  // namespace qz::sdk
