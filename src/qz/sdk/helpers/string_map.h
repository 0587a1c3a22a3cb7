// qz::sdk::StringMap: a key-ordered map of texts with non-empty keys
// (IStringMap). Built by one thread, then read from any number.
#pragma once

#include <map>
#include <string>

#include "qz/sdk/helpers/ref_countable.h"

namespace qz::sdk {

class StringMap final : public RefCountable<IStringMap> {
public:
    StringMap() = default;
    // Entries with an empty key are skipped with a log line.
    explicit StringMap(const std::map<std::string, std::string>& items);

    // Sets or replaces an entry; an empty or null key is refused with a log line.
    bool setItem(const std::string& key, const std::string& value);

    int count() const override { return static_cast<int>(m_items.size()); }
    const char* key(int i) const override;
    const char* value(int i) const override;
    const char* value(const char* key) const override;

    const std::map<std::string, std::string>& items() const { return m_items; }

private:
    const std::pair<const std::string, std::string>* entry(int i) const;

    std::map<std::string, std::string> m_items;
};

// The entries of any IStringMap as a std::map; empty for null.
std::map<std::string, std::string> toStdMap(const IStringMap* map);

}  // namespace qz::sdk
