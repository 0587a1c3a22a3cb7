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
//   reselect button, overview group, everything in the sections but a
//   processor's own items) is false;
// - in the section of stage key K ("section_" + K): every name of the page's
//   own items ends with K, and every name in a processor's settings group
//   starts with K + the processor infix exactly once; a repeated name is
//   allowed only between sections of equal keys (or within one processor's
//   own items); repeater template names hold exactly one "#", and each
//   "filledCheckItems" entry names an item of its template;
// - a class choice's "defaultValue" entries are in its "range" and every
//   range entry has a caption;
// - a ComboBox's "defaultValue" is in its "range" and "itemCaptions" has
//   exactly the range's entries, in order;
// - every Button name is a button the device agent knows;
// - the applier reads "deviceActiveSwitch" ("true"/"false") and every value
//   of the pipeline choice without refusing it.
//
// Header-only (tests/engine and the fuzz target include it); no gtest.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/active_setting_action.h"
#include "engine/settings_applier.h"
#include "records/setting_keys.h"

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
        // Stage sections.
        {"Section", {{"type", "caption", "name", "visible", "items", "sections"}}},
        {"SpinBox",
         {{"type", "name", "caption", "suffix", "description", "isActive", "defaultValue", "minValue", "maxValue",
           "step", "visible"},
          {"type", "name", "caption", "description", "minValue", "maxValue", "defaultValue", "visible"}}},
        {"BoxFigure", {{"type", "caption", "name", "description", "visible"}}},
        {"LineFigure", {{"type", "name", "caption", "description", "allowedDirections", "visible"}}},
        {"TextField", {{"type", "name", "caption", "description", "defaultValue", "visible"}}},
        {"Repeater", {{"type", "count", "template"}}},
        {"PolygonFigure", {{"type", "name", "minPoints", "maxPoints"}}},
        {"MultiSelectionComboBox",
         {{"type", "name", "caption", "description", "range", "defaultValue", "itemCaptions"}}},
    };
    static const bool sectionOrdersAdded = [] {
        orders["ComboBox"].push_back(
            {"type", "name", "caption", "description", "defaultValue", "range", "itemCaptions"});  // mask type
        auto& groups = orders["GroupBox"];
        groups.push_back({"type", "items", "visible", "caption"});  // a stage's group
        groups.push_back({"type", "caption", "visible", "items"});  // processor settings, class visualisation
        groups.push_back({"type", "caption", "visible"});           // processor settings that are not an array
        groups.push_back({"type", "caption", "description", "filledCheckItems", "items"});  // mask template
        return true;
    }();
    (void)sectionOrdersAdded;
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
        for (const auto& section : model["sections"]) checkItem(section, "sections", Scope{});
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

    // Where an item sits: the section around it and whether it belongs to a
    // processor's own settings (written by the processor, not by the page).
    struct Scope {
        bool inSection = false;
        std::string key;      // stage key K of the enclosing section
        int sectionIndex = -1;  // which section, in document order
        const char* infix = nullptr;  // set inside a processor's settings group
        bool inTemplate = false;
    };

    struct NameUse {
        std::string name;
        bool hasVisible;
        Scope scope;
    };

    // A processor's settings group: the GroupBox whose caption is not one of
    // the page's own ("Class Visualisation") with keys type, caption, visible[, items].
    static bool isProcessorGroup(const nlohmann::ordered_json& item) {
        if (!item.is_object() || item.value("type", "") != "GroupBox") return false;
        const KeyOrder keys = keysOf(item);
        return keys.size() >= 3 && keys[1] == "caption" && keys[2] == "visible" &&
               item.value("caption", "") != "Class Visualisation";
    }

    static std::string infixOf(const nlohmann::ordered_json& group, const Scope& scope) {
        // Which processor the group belongs to shows in its first prefixed name.
        std::string found;
        std::function<void(const nlohmann::ordered_json&)> walk = [&](const nlohmann::ordered_json& node) {
            if (!found.empty() || !node.is_object()) return;
            if (node.contains("name") && node["name"].is_string()) {
                const std::string name = node["name"];
                for (const char* infix : {qzai::setting_keys::kPreprocessorSetting,
                                          qzai::setting_keys::kPostprocessorSetting}) {
                    if (name.rfind(scope.key + infix, 0) == 0) found = infix;
                }
                if (!found.empty()) return;
            }
            if (node.contains("items") && node["items"].is_array()) {
                for (const auto& child : node["items"]) walk(child);
            }
            if (node.contains("template")) walk(node["template"]);
        };
        walk(group);
        return found;
    }

    void checkProcessorItem(const nlohmann::ordered_json& item, const Scope& scope, const std::string& at) {
        const nlohmann::ordered_json* current = &item;
        while (current->is_object()) {
            if (current->contains("name") && (*current)["name"].is_string()) {
                const std::string name = (*current)["name"];
                const std::string head = scope.key + scope.infix;
                if (name.rfind(head, 0) != 0 || name.compare(head.size(), head.size(), head) == 0) {
                    fail(at + ": processor setting name " + name + " does not start with " + head + " exactly once");
                }
                m_names.push_back({name, current->contains("visible"), scope});
            }
            if (current->contains("items") && (*current)["items"].is_array()) {
                for (const auto& child : (*current)["items"]) checkProcessorItem(child, scope, at);
            }
            if (!current->contains("template")) break;
            current = &(*current)["template"];
        }
    }

    static void collectNames(const nlohmann::ordered_json& item, std::set<std::string>& out) {
        if (!item.is_object()) return;
        if (item.contains("name") && item["name"].is_string()) out.insert(item["name"].get<std::string>());
        if (item.contains("items") && item["items"].is_array()) {
            for (const auto& child : item["items"]) collectNames(child, out);
        }
    }

    void checkTemplate(const nlohmann::ordered_json& item, const std::string& at) {
        std::set<std::string> names;
        collectNames(item, names);
        for (const auto& name : names) {
            if (std::count(name.begin(), name.end(), '#') != 1) fail(at + ": template name without one \"#\": " + name);
        }
        if (!item.contains("filledCheckItems")) return;
        if (!item["filledCheckItems"].is_array()) return fail(at + ": \"filledCheckItems\" is not an array");
        for (const auto& entry : item["filledCheckItems"]) {
            if (!entry.is_string() || !names.count(entry.get<std::string>())) {
                fail(at + ": filled-check entry names no item of the template: " + entry.dump());
            }
        }
    }

    void checkClassChoice(const nlohmann::ordered_json& item, const std::string& at) {
        if (!item["range"].is_array() || !item["defaultValue"].is_array() || !item["itemCaptions"].is_object()) {
            return fail(at + ": a class choice without range, default or captions");
        }
        const auto& range = item["range"];
        for (const auto& entry : item["defaultValue"]) {
            if (std::find(range.begin(), range.end(), entry) == range.end()) fail(at + ": default outside the range");
        }
        for (const auto& entry : range) {
            if (!entry.is_string() || !item["itemCaptions"].contains(entry.get<std::string>())) {
                fail(at + ": a range entry without a caption: " + entry.dump());
            }
        }
    }

    void checkItem(const nlohmann::ordered_json& item, const std::string& where) { checkItem(item, where, Scope{}); }

    void checkItem(const nlohmann::ordered_json& item, const std::string& where, Scope scope) {
        if (!item.is_object()) return fail(where + ": an item is not an object");
        const KeyOrder keys = keysOf(item);
        if (keys.empty() || keys.front() != "type" || !item["type"].is_string()) {
            return fail(where + ": an item does not start with a \"type\" text");
        }
        const std::string type = item["type"];
        const std::string at = where + "/" + type + (item.contains("name") ? "(" + item["name"].dump() + ")" : "");
        if (type == "Section") {
            scope.inSection = true;
            scope.sectionIndex = m_sections++;
            const std::string name = item.value("name", "");
            const std::string head = qzai::setting_keys::kSection;
            if (name.rfind(head, 0) != 0 || name.size() == head.size()) fail(at + ": section name is not section_ + K");
            else scope.key = name.substr(head.size());
        }
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
            if (!item["name"].is_string()) {
                fail(at + ": \"name\" is not a text");
            } else {
                const std::string name = item["name"];
                m_names.push_back({name, item.contains("visible"), scope});
                if (scope.inSection && type != "Section" &&
                    (name.size() < scope.key.size() ||
                     name.compare(name.size() - scope.key.size(), scope.key.size(), scope.key) != 0)) {
                    fail(at + ": the name does not end with the stage key " + scope.key);
                }
            }
        }
        if (type == "MultiSelectionComboBox") checkClassChoice(item, at);
        if (scope.inSection && type == "GroupBox" && item.contains("filledCheckItems")) checkTemplate(item, at);
        if (scope.inSection && isProcessorGroup(item)) {
            Scope inner = scope;
            const std::string infix = infixOf(item, scope);
            inner.infix = infix == qzai::setting_keys::kPreprocessorSetting ? qzai::setting_keys::kPreprocessorSetting
                                                                            : qzai::setting_keys::kPostprocessorSetting;
            if (item.contains("items")) {
                if (!item["items"].is_array()) return fail(at + ": \"items\" is not an array");
                for (const auto& child : item["items"]) checkProcessorItem(child, inner, at);
            }
            return;
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
            else for (const auto& child : item[nested]) checkItem(child, at, scope);
        }
        if (item.contains("template")) checkItem(item["template"], at, scope);
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

    // A repeated name is allowed between sections of one stage key (stages
    // with equal keys get the same names and the same values), and within
    // one processor's own items (the processor's own doing).
    bool allowedRepeat(const std::string& name) const {
        std::string key;
        bool first = true;
        std::set<int> pageSections;
        for (const auto& use : m_names) {
            if (use.name != name) continue;
            if (!use.scope.inSection || (!first && use.scope.key != key)) return false;
            key = use.scope.key;
            first = false;
            if (!use.scope.infix && !pageSections.insert(use.scope.sectionIndex).second) return false;
        }
        return true;
    }

    void checkNames() {
        std::map<std::string, int> seen;
        for (const auto& use : m_names) ++seen[use.name];
        for (const auto& [name, count] : seen) {
            if (count == 1) continue;
            const bool reselectPair = name == qzai::setting_keys::kReselectRuntimeButton && count == 2;
            bool firstWithoutVisible = false;
            for (const auto& use : m_names) {
                if (use.name == name) {
                    firstWithoutVisible = !use.hasVisible;
                    break;
                }
            }
            if ((!reselectPair || !firstWithoutVisible) && !allowedRepeat(name)) {
                fail("name used " + std::to_string(count) + " times: " + name);
            }
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
        if (isProcessorGroup(item)) return;  // the processor's own items are shown by the group
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
    std::vector<NameUse> m_names;
    int m_sections = 0;
};

inline std::vector<std::string> checkSettingsModel(const std::string& text) { return SettingsModelCheck().run(text); }

}  // namespace qz::settings_test
