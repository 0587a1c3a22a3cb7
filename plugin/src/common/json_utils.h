// JSON helpers over nlohmann-json.
//
// Documents we build are nlohmann::ordered_json (members in insertion order).
// jsonDocToString never throws. The required-field helpers are for parsers of
// outside input that catch per item: they throw JsonFieldError (with the key
// in its text) when the value is not an object, the key is missing, or the
// field has the wrong type. They work on json and ordered_json alike.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qz::vms_server_plugins::analytics::qzai {

// Writes the document compactly (reals keep a decimal point, "42.0") and
// releases it. Bytes of a text that are not valid UTF-8 are written as U+FFFD;
// any other writer failure logs "Error creating settings model string\n" and
// gives "{}".
std::string jsonDocToString(nlohmann::ordered_json doc);

// Documents from outside (host REST answers, cloud answers, settings texts)
// may nest at most this deep: copying, dumping and walking a value recurse
// once per level, so a deeper document could exhaust the stack.
inline constexpr size_t kMaxJsonDepth = 64;

// Parses `text` and gives a discarded value when it is not JSON or nests
// deeper than `maxDepth` (the depth is checked on the text first, without
// recursion, so a refused document is never built). `what` names the
// document in the log line written on refusal for depth; malformed text is
// left to the caller to report. Never throws.
nlohmann::json parseOutsideJson(std::string_view text, const char* what, size_t maxDepth = kMaxJsonDepth);

// A JSON number as a float. A value that is not a number, or whose magnitude
// exceeds float's finite range, gives `fallback` with a log line naming
// `what` (converting it would be undefined).
float floatFromJson(const nlohmann::json& value, const char* what, float fallback);

// True when the value nests deeper than `limit` (a scalar has depth 0, [] and
// {} depth 1). Walks the value without recursion.
bool jsonNestsDeeperThan(const nlohmann::json& value, size_t limit);

// Parses standard JSON text in which a key repeated within one object keeps
// its first occurrence (the later ones are dropped with their values). Text
// that is not JSON, or that nests arrays and objects deeper than `maxDepth`
// levels, gives std::nullopt; deep text is refused so that the recursive
// walks and the writer that handle the result stay within the stack.
std::optional<nlohmann::ordered_json> parseJsonKeepFirstKey(std::string_view text,
                                                            size_t maxDepth = kMaxJsonDepth);

class JsonFieldError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

template <class Json>
const Json& requireField(const Json& object, std::string_view key) {
    if (!object.is_object()) throw JsonFieldError("expected an object holding \"" + std::string(key) + "\"");
    const auto it = object.find(key);
    if (it == object.end()) throw JsonFieldError("missing field \"" + std::string(key) + "\"");
    return *it;
}

template <class Json>
std::string requireString(const Json& object, std::string_view key) {
    const Json& value = requireField(object, key);
    if (!value.is_string()) throw JsonFieldError("field \"" + std::string(key) + "\" is not a string");
    return value.template get<std::string>();
}

// An integer field (a real with a fractional part or out of range throws).
template <class Json>
int64_t requireInteger(const Json& object, std::string_view key) {
    const Json& value = requireField(object, key);
    if (value.is_number_unsigned()) {
        const auto v = value.template get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            throw JsonFieldError("field \"" + std::string(key) + "\" is out of range");
        }
        return static_cast<int64_t>(v);
    }
    if (value.is_number_integer()) return value.template get<int64_t>();
    throw JsonFieldError("field \"" + std::string(key) + "\" is not an integer");
}

template <class Json>
double requireNumber(const Json& object, std::string_view key) {
    const Json& value = requireField(object, key);
    if (!value.is_number()) throw JsonFieldError("field \"" + std::string(key) + "\" is not a number");
    return value.template get<double>();
}

template <class Json>
bool requireBool(const Json& object, std::string_view key) {
    const Json& value = requireField(object, key);
    if (!value.is_boolean()) throw JsonFieldError("field \"" + std::string(key) + "\" is not a boolean");
    return value.template get<bool>();
}

template <class Json>
const Json& requireObject(const Json& object, std::string_view key) {
    const Json& value = requireField(object, key);
    if (!value.is_object()) throw JsonFieldError("field \"" + std::string(key) + "\" is not an object");
    return value;
}

template <class Json>
const Json& requireArray(const Json& object, std::string_view key) {
    const Json& value = requireField(object, key);
    if (!value.is_array()) throw JsonFieldError("field \"" + std::string(key) + "\" is not an array");
    return value;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
