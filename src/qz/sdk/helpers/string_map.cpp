#include "qz/sdk/helpers/string_map.h"

#include <iterator>

namespace qz::sdk {

StringMap::StringMap(const std::map<std::string, std::string>& items) {
    for (const auto& [key, value] : items) setItem(key, value);
}

bool StringMap::setItem(const std::string& key, const std::string& value) {
    if (key.empty()) {
        sdkLog(logPrefix(), "StringMap: an entry with an empty key was refused");
        return false;
    }
    m_items[key] = value;
    return true;
}

const std::pair<const std::string, std::string>* StringMap::entry(int i) const {
    if (i < 0 || i >= count()) return nullptr;
    return &*std::next(m_items.begin(), i);
}

const char* StringMap::key(int i) const {
    const auto* e = entry(i);
    return e ? e->first.c_str() : nullptr;
}

const char* StringMap::value(int i) const {
    const auto* e = entry(i);
    return e ? e->second.c_str() : nullptr;
}

const char* StringMap::value(const char* key) const {
    if (!key) return nullptr;
    auto it = m_items.find(key);
    return it == m_items.end() ? nullptr : it->second.c_str();
}

std::map<std::string, std::string> toStdMap(const IStringMap* map) {
    std::map<std::string, std::string> items;
    if (!map) return items;
    for (int i = 0; i < map->count(); ++i) {
        const char* key = map->key(i);
        const char* value = map->value(i);
        if (key && *key) items[key] = value ? value : "";
    }
    return items;
}

}  // namespace qz::sdk
