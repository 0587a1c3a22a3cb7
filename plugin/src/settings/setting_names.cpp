#include "settings/setting_names.h"

#include "records/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::string join(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (auto part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (auto part : parts) out.append(part);
    return out;
}

}  // namespace

std::string stageItemName(std::string_view prefix, std::string_view stageKey) { return join({prefix, stageKey}); }

std::string classButtonName(std::string_view button, std::string_view stageKey) {
    return join({button, "_", stageKey});
}

std::string maskTypeName(std::string_view n, std::string_view stageKey) {
    return join({setting_keys::kMaskType, n, "_", stageKey});
}

std::string polygonName(std::string_view n, std::string_view stageKey) {
    return join({setting_keys::kPolygon, n, ".figure_", stageKey});
}

std::optional<std::string_view> maskNumberText(std::string_view name) {
    auto numberBefore = [&](std::string_view prefix, std::string_view suffix) -> std::optional<std::string_view> {
        if (!name.starts_with(prefix)) return std::nullopt;
        const std::string_view rest = name.substr(prefix.size());
        const size_t digits = rest.find_first_not_of("0123456789");
        if (digits == 0 || digits == std::string_view::npos || !rest.substr(digits).starts_with(suffix))
            return std::nullopt;
        return rest.substr(0, digits);
    };
    if (auto n = numberBefore(setting_keys::kMaskType, "_")) return n;
    return numberBefore(setting_keys::kPolygon, ".figure_");
}

std::string processorSettingName(std::string_view stageKey, std::string_view infix, std::string_view name) {
    return join({stageKey, infix, name});
}

std::string libraryChoiceName(std::string_view runtime) { return join({setting_keys::kLibraryChoice, runtime}); }

}  // namespace qz::vms_server_plugins::analytics::qzai
