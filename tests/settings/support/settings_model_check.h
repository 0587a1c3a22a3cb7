// Structural check of a device-agent settings model text, run on every model
// a test builds. It returns the problems found (empty: the model passes), so
// it serves tests and the fuzz target alike.
//
// What it checks:
// - the root is {"type": "Settings", "items", "sections"} in that order;
// - every item starts with "type" and its keys follow one of the orders its
//   kind allows (itemKeyOrders(); the stage sections add their kinds there);
// - "isActive" is the text "true" or "false"; "visible" and a switch's
//   "defaultValue" are booleans;
// - every "name" is a text, unique in the document, except that the runtime
//   reselection button may appear twice when the first has no "visible";
// - readiness: the active switch's "visible" is true exactly when no
//   blocking (info) status banner comes before it, and when it is false,
//   every readiness-driven "visible" (pipeline choice, manage button, second
//   reselect button, overview group, everything in the sections) is false;
// - a ComboBox's "defaultValue" is in its "range" and "itemCaptions" has
//   exactly the range's entries, in order;
// - every Button name is a button the device agent knows;
// - the applier reads "deviceActiveSwitch" ("true"/"false") and every value
//   of the pipeline choice without refusing it.
//
// Header-only (tests/engine and the fuzz target include it); no gtest.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/active_setting_action.h"
#include "engine/settings_applier.h"
#include "settings/setting_keys.h"

namespace qz::settings_test {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

using KeyOrder = std::vector<std::string>;

// Item "type" -> the key orders allowed for it.
inline std::map<std::string, std::vector<KeyOrder>>& itemKeyOrders() {
    static std::map<std::string, std::vector<KeyOrder>> orders = {
        {"Banner", {{"type", "icon", "text"}, {"type", "icon"}, {"type", "text", "icon"}}},
        {"Button",
         {{"type", "name", "caption", "description", "isActive"},
          {"type", "name", "caption", "description", "isActive", "visible"}}},
        {"SwitchButton", {{"type", "name", "caption", "description", "defaultValue", "visible"}}},
        {"ComboBox",
         {{"type", "name", "caption", "description", "defaultValue", "itemCaptions", "range", "visible"}}},
        {"Row", {{"type", "items"}}},
        {"GroupBox", {{"type", "caption", "items", "visible"}}},
        {"Separator", {{"type"}}},
        {"Label", {{"type", "caption", "text"}}},
    };
    return orders;
}

class SettingsModelCheck {
public:
    std::vector<std::string> run(const std::string& text) {
        const auto model = nlohmann::ordered_json::parse(text, nullptr, false);
        if (model.is_discarded() || !model.is_object()) return {"the model is not a JSON object"};
        if (keysOf(model) != KeyOrder{"type", "items", "sections"}) fail("root keys are not type, items, sections");
        if (model.value("type", "") != "Settings") fail("root type is not \"Settings\"");
        if (!model.contains("items") || !model["items"].is_array() || !model.contains("sections") ||
            !model["sections"].is_array()) {
            fail("root items or sections is not an array");
            return m_problems;
        }
        for (const auto& item : model["items"]) checkItem(item, "items");
        for (const auto& section : model["sections"]) checkItem(section, "sections");
        checkNames();
        checkReadiness(model);
        return m_problems;
    }

private:
    static KeyOrder keysOf(const nlohmann::ordered_json& object) {
        KeyOrder keys;
        for (const auto& [key, value] : object.items()) keys.push_back(key);
        return keys;
    }

    void fail(const std::string& problem) { m_problems.push_back(problem); }

    void checkItem(const nlohmann::ordered_json& item, const std::string& where) {
        if (!item.is_object()) return fail(where + ": an item is not an object");
        const KeyOrder keys = keysOf(item);
        if (keys.empty() || keys.front() != "type" || !item["type"].is_string()) {
            return fail(where + ": an item does not start with a \"type\" text");
        }
        const std::string type = item["type"];
        const std::string at = where + "/" + type + (item.contains("name") ? "(" + item["name"].dump() + ")" : "");
        const auto orders = itemKeyOrders().find(type);
        if (orders == itemKeyOrders().end()) {
            fail(at + ": unknown item type");
        } else {
            bool matches = false;
            for (const auto& order : orders->second) matches = matches || order == keys;
            if (!matches) fail(at + ": keys out of order: " + nlohmann::json(keys).dump());
        }
        if (item.contains("isActive") && item["isActive"] != "true" && item["isActive"] != "false") {
            fail(at + ": \"isActive\" is not the text \"true\" or \"false\"");
        }
        if (item.contains("visible") && !item["visible"].is_boolean()) fail(at + ": \"visible\" is not a boolean");
        if (type == "SwitchButton" && !item["defaultValue"].is_boolean()) fail(at + ": switch default not boolean");
        if (item.contains("name")) {
            if (!item["name"].is_string()) fail(at + ": \"name\" is not a text");
            else m_names.push_back({item["name"], item.contains("visible")});
        }
        if (type == "ComboBox") checkChoice(item, at);
        if (type == "Button" && item["name"].is_string()) {
            const std::string name = item["name"];
            if (qzai::activeSettingAction(name).kind == qzai::ActiveSettingKind::Unknown) {
                fail(at + ": the device agent does not know this button");
            }
        }
        for (const char* nested : {"items", "sections"}) {
            if (!item.contains(nested)) continue;
            if (!item[nested].is_array()) fail(at + ": \"" + nested + "\" is not an array");
            else for (const auto& child : item[nested]) checkItem(child, at);
        }
        if (item.contains("template")) checkItem(item["template"], at);
    }

    void checkChoice(const nlohmann::ordered_json& item, const std::string& at) {
        if (!item.contains("range") || !item["range"].is_array() || !item.contains("itemCaptions") ||
            !item["itemCaptions"].is_object()) {
            return fail(at + ": a choice without range or captions");
        }
        const auto& range = item["range"];
        bool found = false;
        for (const auto& entry : range) found = found || entry == item["defaultValue"];
        if (!found) fail(at + ": the default value is not in the range");
        KeyOrder entries;
        for (const auto& entry : range) entries.push_back(entry.is_string() ? entry.get<std::string>() : entry.dump());
        if (keysOf(item["itemCaptions"]) != entries) fail(at + ": the captions are not the range's entries");
        if (item["name"] == qzai::setting_keys::kSelectedPipeline) {
            for (const auto& entry : entries) {
                std::vector<std::string> rejected;
                const auto applied = qzai::applyDeviceSettings({}, {{qzai::setting_keys::kSelectedPipeline, entry}},
                                                               &rejected);
                if (!rejected.empty() || applied->selectedPipeline != entry) {
                    fail(at + ": the applier does not take the pipeline value " + entry);
                }
            }
        }
    }

    void checkNames() {
        std::map<std::string, int> seen;
        for (const auto& [name, visible] : m_names) ++seen[name];
        for (const auto& [name, count] : seen) {
            if (count == 1) continue;
            const bool reselectPair = name == qzai::setting_keys::kReselectRuntimeButton && count == 2;
            bool firstWithoutVisible = false;
            for (const auto& [n, visible] : m_names) {
                if (n == name) {
                    firstWithoutVisible = !visible;
                    break;
                }
            }
            if (!reselectPair || !firstWithoutVisible) fail("name used " + std::to_string(count) + " times: " + name);
        }
        for (const char* value : {"true", "false"}) {
            std::vector<std::string> rejected;
            const auto applied =
                qzai::applyDeviceSettings({}, {{qzai::setting_keys::kDeviceActiveSwitch, value}}, &rejected);
            if (!rejected.empty() || applied->deviceActive != (std::string(value) == "true")) {
                fail(std::string("the applier does not take the switch value ") + value);
            }
        }
    }

    static void collectVisible(const nlohmann::ordered_json& item, std::vector<bool>& out) {
        if (!item.is_object()) return;
        if (item.contains("visible") && item["visible"].is_boolean()) out.push_back(item["visible"].get<bool>());
        for (const char* nested : {"items", "sections"}) {
            if (item.contains(nested) && item[nested].is_array()) {
                for (const auto& child : item[nested]) collectVisible(child, out);
            }
        }
        if (item.contains("template")) collectVisible(item["template"], out);
    }

    void checkReadiness(const nlohmann::ordered_json& model) {
        const auto& items = model["items"];
        bool blocked = false;
        size_t switchAt = items.size();
        for (size_t i = 0; i < items.size(); ++i) {
            const auto& item = items[i];
            if (!item.is_object()) continue;
            if (item.value("name", nlohmann::ordered_json()) == qzai::setting_keys::kDeviceActiveSwitch) {
                switchAt = i;
                break;
            }
            const KeyOrder keys = keysOf(item);
            blocked = blocked ||
                      (item.value("type", "") == "Banner" && keys.size() >= 2 && keys[1] == "icon" &&
                       item["icon"] == "info");
        }
        if (switchAt == items.size()) return fail("no active switch among the root items");
        const bool ready = items[switchAt].value("visible", false);
        if (ready == blocked) fail("the switch's visibility does not follow the status banners");
        if (ready) return;
        // Everything after the switch that follows readiness: the pipeline
        // choice, the manage button, the second reselect button, the overview
        // group. The recovery row follows the notices instead.
        for (size_t i = switchAt + 1; i < items.size(); ++i) {
            const auto& item = items[i];
            if (!item.is_object() || item.value("type", "") == "Row" || !item.contains("visible")) continue;
            if (item.value("type", "") == "Banner" || item.value("type", "") == "Label") continue;
            if (item["visible"] == true) fail("visible while not ready: " + item.value("type", "") + " " +
                                             item.value("name", item.value("caption", "")));
        }
        std::vector<bool> sectionVisible;
        for (const auto& section : model["sections"]) collectVisible(section, sectionVisible);
        for (bool visible : sectionVisible) {
            if (visible) {
                fail("a section item is visible while not ready");
                break;
            }
        }
    }

    std::vector<std::string> m_problems;
    std::vector<std::pair<std::string, bool>> m_names;  // name, has "visible"
};

inline std::vector<std::string> checkSettingsModel(const std::string& text) { return SettingsModelCheck().run(text); }

}  // namespace qz::settings_test
