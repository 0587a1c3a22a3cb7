#include "engine/qzai_state.h"

#include "common/json_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

using nlohmann::json;

namespace {

// A JSON object held as a value or as a text; absent and null count as an
// empty object, and so does blank text where `blankIsEmpty`. Empty optional
// (with *error) for anything else.
std::optional<json> objectOrText(const json* value, bool blankIsEmpty, bool* isText, const char* what,
                                 std::string* error) {
    *isText = value && value->is_string();
    if (!value || value->is_null()) return json::object();
    if (value->is_object()) return *value;
    if (*isText) {
        const std::string& text = value->get_ref<const std::string&>();
        if (blankIsEmpty && text.find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
        json parsed = parseOutsideJson(text, what);
        if (parsed.is_object()) return parsed;
    }
    *error = std::string(what) + " are neither a JSON object nor a text holding one.";
    return std::nullopt;
}

const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::optional<json> readQzAiParameters(const json& device, std::string* error) {
    if (jsonNestsDeeperThan(device, kMaxJsonDepth)) {
        *error = "The device's document nests deeper than " + std::to_string(kMaxJsonDepth) + " levels.";
        return std::nullopt;
    }
    bool isText = false;
    const auto parameters =
        objectOrText(member(device, "parameters"), false, &isText, "The device's parameters", error);
    if (!parameters) return std::nullopt;
    return objectOrText(member(*parameters, "qzAI"), false, &isText, "The device's qzAI parameters", error);
}

std::optional<json> qzAiMergePatch(const json& document, const std::function<void(json& qzAI)>& update,
                                   std::string* error) {
    bool parametersAsText = false, qzAiAsText = false;
    auto parameters = objectOrText(member(document, "parameters"), true, &parametersAsText, "The \"parameters\"", error);
    if (!parameters) return std::nullopt;
    const auto before = objectOrText(member(*parameters, "qzAI"), true, &qzAiAsText, "The \"qzAI\" parameters", error);
    if (!before) return std::nullopt;
    json after = *before;
    update(after);

    json changes = json::object();
    for (const auto& [key, value] : after.items()) {
        const auto old = before->find(key);
        if (old == before->end() || *old != value) changes[key] = value;
    }
    for (const auto& [key, value] : before->items()) {
        if (!after.contains(key)) changes[key] = nullptr;
    }
    if (changes.empty()) return json();

    // A text is replaced whole (with the other keys it holds); an object gets
    // only the changed keys, so the rest of the document is left as it is.
    if (parametersAsText) {
        (*parameters)["qzAI"] = qzAiAsText ? json(after.dump()) : after;
        return json{{"parameters", parameters->dump()}};
    }
    return json{{"parameters", {{"qzAI", qzAiAsText ? json(after.dump()) : changes}}}};
}

}  // namespace qz::vms_server_plugins::analytics::qzai
