// The plug-in's state in the host's documents: "parameters" -> "qzAI" of the
// server and device documents (layout in docs/formats.md). The host may keep
// either level as a JSON object or as a text holding one; both are read, and
// writes keep the form the value had.
//
// Plain functions over their arguments; never throw for malformed input.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace qz::vms_server_plugins::analytics::qzai {

// A device document's "qzAI" object: empty when absent or null. Empty
// optional (with *error) when the device nests deeper than kMaxJsonDepth or
// either level is neither an object nor a text holding one.
std::optional<nlohmann::json> readQzAiParameters(const nlohmann::json& device, std::string* error);

// The JSON merge patch that applies `update` to a document's "qzAI": only
// the keys that changed when "qzAI" is an object, the whole rewritten text
// when it is a text (inside "parameters" rewritten as a text when that is
// one). Null when nothing changes; empty (with *error) when a level is
// neither an object nor a text holding one.
std::optional<nlohmann::json> qzAiMergePatch(const nlohmann::json& document,
                                             const std::function<void(nlohmann::json& qzAI)>& update,
                                             std::string* error);

}  // namespace qz::vms_server_plugins::analytics::qzai
