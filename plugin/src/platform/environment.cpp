#include "platform/environment.h"

#include <mutex>

extern char** environ;

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
struct TakenEnvironment {
    std::mutex mutex;
    std::optional<ProcessEnvironment> copy;
};

TakenEnvironment& takenEnvironment() {
    static TakenEnvironment taken;
    return taken;
}
}  // namespace

ProcessEnvironment ProcessEnvironment::current() {
    TakenEnvironment& taken = takenEnvironment();
    std::lock_guard<std::mutex> lock(taken.mutex);
    if (!taken.copy) {
        std::vector<std::string> entries;
        for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
        taken.copy.emplace(std::move(entries));
    }
    return *taken.copy;
}

void ProcessEnvironment::forgetCurrent() {
    TakenEnvironment& taken = takenEnvironment();
    std::lock_guard<std::mutex> lock(taken.mutex);
    taken.copy.reset();
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
