#include "settings/setting_name_prefix.h"

namespace qz::vms_server_plugins::analytics::qzai {

void prefixSettingNamesInArray(nlohmann::ordered_json& array, const std::string& suffix, const std::string& prefix) {
    if (!array.is_array()) return;
    const std::string combined = prefix + suffix;
    for (auto& item : array) prefixSettingNames(item, suffix, prefix, combined);
}

void prefixSettingNames(nlohmann::ordered_json& item, const std::string& suffix, const std::string& prefix,
                        const std::string& combined) {
    nlohmann::ordered_json* current = &item;
    while (current->is_object()) {
        const auto name = current->find("name");
        if (name != current->end() && name->is_string()) {
            std::string renamed = combined + name->get<std::string>();
            current->erase("name");
            (*current)["name"] = std::move(renamed);
        }
        const auto items = current->find("items");
        if (items != current->end()) prefixSettingNamesInArray(*items, suffix, prefix);
        const auto next = current->find("template");
        if (next == current->end()) break;
        current = &*next;
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
