#include "common/json_utils.h"

#include <set>
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

struct TooDeep {};

}  // namespace

std::optional<nlohmann::ordered_json> parseJsonKeepFirstKey(std::string_view text, int maxDepth) {
    using Json = nlohmann::ordered_json;
    // keysAt[d] holds the keys seen so far in the object open at depth d. The
    // parser reports every object start and key, also inside values it is
    // discarding, so clearing the set at each object start keeps it exact.
    std::vector<std::set<std::string>> keysAt;
    const Json::parser_callback_t keepFirst = [&](int depth, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (depth + 1 > maxDepth) throw TooDeep{};
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
