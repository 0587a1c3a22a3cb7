// Renaming of an external processor's own settings items so that they are
// unique to one pipeline stage: every text "name" in an items array, in
// nested "items" arrays and in "template" objects becomes combined + name,
// where combined = prefix + suffix (the stage key followed by the pre- or
// post-processor setting infix). The rewritten "name" moves to the end of its
// object; a "name" that is not a text is left alone, but the item's "items"
// and "template" are still walked. Other values are untouched.
//
// Works in place on a document the caller owns. Recursion follows nested
// "items" arrays: callers bound the depth of what they pass (parsed texts are
// limited by parseJsonKeepFirstKey). Thread-safe on distinct documents.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qz::vms_server_plugins::analytics::qzai {

// Does nothing when `array` is not an array; elements that are not objects
// are left alone.
void prefixSettingNamesInArray(nlohmann::ordered_json& array, const std::string& suffix, const std::string& prefix);

// Rewrites one item and what it holds; `combined` is prefix + suffix.
void prefixSettingNames(nlohmann::ordered_json& item, const std::string& suffix, const std::string& prefix,
                        const std::string& combined);

}  // namespace qz::vms_server_plugins::analytics::qzai
