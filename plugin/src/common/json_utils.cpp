#include "common/json_utils.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string jsonDocToString(nlohmann::ordered_json doc) {
    try {
        // Invalid UTF-8 in one text (a model name, a notice) must not blank
        // the whole document: such bytes are written as U+FFFD.
        return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } catch (const nlohmann::ordered_json::exception&) {
        logMessage("Error creating settings model string\n");
        return "{}";
    }
}

namespace {

// The deepest bracket nesting of a JSON text, counted outside strings. For a
// valid document this is its depth; for any other text the parser refuses
// it anyway.
size_t textDepth(std::string_view text) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        switch (c) {
            case '"': inString = true; break;
            case '[':
            case '{': deepest = std::max(deepest, ++depth); break;
            case ']':
            case '}': depth -= depth > 0 ? 1 : 0; break;
            default: break;
        }
    }
    return deepest;
}

}  // namespace

nlohmann::json parseOutsideJson(std::string_view text, const char* what, size_t maxDepth) {
    if (textDepth(text) > maxDepth) {
        logMessage("Error! %s nests deeper than %zu levels; refused.\n", what, maxDepth);
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, false);
}

float floatFromJson(const nlohmann::json& value, const char* what, float fallback) {
    if (!value.is_number()) return fallback;
    const double number = value.get<double>();
    if (!(std::fabs(number) <= static_cast<double>(std::numeric_limits<float>::max()))) {
        logMessage("Error! %s (%g) is outside the range of a float; ignored.\n", what, number);
        return fallback;
    }
    return static_cast<float>(number);
}

bool jsonNestsDeeperThan(const nlohmann::json& value, size_t limit) {
    std::vector<std::pair<const nlohmann::json*, size_t>> pending{{&value, 0}};
    while (!pending.empty()) {
        const auto [item, depth] = pending.back();
        pending.pop_back();
        if (!item->is_structured()) continue;
        if (depth + 1 > limit) return true;
        for (const auto& child : *item) {
            if (child.is_structured()) pending.emplace_back(&child, depth + 1);
        }
    }
    return false;
}

namespace {

struct TooDeep {};

}  // namespace

std::optional<nlohmann::ordered_json> parseJsonKeepFirstKey(std::string_view text, size_t maxDepth) {
    using Json = nlohmann::ordered_json;
    // keysAt[d] holds the keys seen so far in the object open at depth d. The
    // parser reports every object start and key, also inside values it is
    // discarding, so clearing the set at each object start keeps it exact.
    std::vector<std::set<std::string>> keysAt;
    const Json::parser_callback_t keepFirst = [&](int depth, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (static_cast<size_t>(depth) + 1 > maxDepth) throw TooDeep{};
                if (event == Json::parse_event_t::object_start) {
                    if (keysAt.size() < static_cast<size_t>(depth) + 2) keysAt.resize(static_cast<size_t>(depth) + 2);
                    keysAt[static_cast<size_t>(depth) + 1].clear();
                }
                return true;
            case Json::parse_event_t::key:
                if (static_cast<size_t>(depth) >= keysAt.size()) return true;
                return keysAt[static_cast<size_t>(depth)].insert(parsed.get<std::string>()).second;
            default:
                return true;
        }
    };
    try {
        Json parsed = Json::parse(text.begin(), text.end(), keepFirst, false);
        if (parsed.is_discarded()) return std::nullopt;
        return parsed;
    } catch (const TooDeep&) {
        return std::nullopt;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
