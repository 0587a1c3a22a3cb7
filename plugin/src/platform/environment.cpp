#include "platform/environment.h"

extern char** environ;

namespace qz::vms_server_plugins::analytics::qzai {

const ProcessEnvironment& ProcessEnvironment::current() {
    static const ProcessEnvironment instance = [] {
        std::vector<std::string> entries;
        for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
        return ProcessEnvironment(std::move(entries));
    }();
    return instance;
}

std::optional<std::string> ProcessEnvironment::get(std::string_view name) const {
    for (const auto& entry : m_entries) {
        if (entry.size() > name.size() && entry[name.size()] == '=' && entry.compare(0, name.size(), name) == 0) {
            return entry.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
