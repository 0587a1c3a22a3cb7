// Object type ids for model class names.
//
// toObjectTypeId sanitises the class name (the first character kept when it
// is an ASCII letter, digit or '_', later characters also when '.', every
// other byte, including each byte of a non-ASCII character, replaced by '_')
// and returns "qz.base." + the table's spelling when the sanitised name
// matches one of the 36 base object types ignoring case, else "qz.qzai." +
// the sanitised name. Plain functions; thread-safe.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr std::string_view kBaseObjectTypePrefix = "qz.base.";
inline constexpr std::string_view kPluginObjectTypePrefix = "qz.qzai.";

// The base object type names, as this plug-in spells them (our own table).
extern const std::array<std::string_view, 36> kBaseObjectTypeNames;

std::string toObjectTypeId(const std::string& className);
// True when the id begins with "qz.base." (case-sensitive).
bool isBaseObjectTypeId(const std::string& typeId);

}  // namespace qz::vms_server_plugins::analytics::qzai
