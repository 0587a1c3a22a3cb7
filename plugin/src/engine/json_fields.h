// Lenient readers of optional JSON fields for the engine's parsers: a field
// that is absent or of another type gives the fallback. Never throw.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qz::vms_server_plugins::analytics::qzai {

inline std::string optionalText(const nlohmann::json& object, const char* key, std::string fallback = {}) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(key);
    return (it != object.end() && it->is_string()) ? it->get<std::string>() : fallback;
}

inline bool optionalBool(const nlohmann::json& object, const char* key, bool fallback) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(key);
    return (it != object.end() && it->is_boolean()) ? it->get<bool>() : fallback;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
