// SettingsStore: the last settings the host sent to an engine or device
// agent, replaced whole on each send. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "qz/sdk/helpers/hook_call.h"
#include "qz/sdk/helpers/string_map.h"

namespace qz::sdk {

class SettingsStore {
public:
    void replace(std::map<std::string, std::string> values) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = std::move(values);
    }
    std::map<std::string, std::string> values() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }
    // What setSettings does for an engine or device agent: null settings are
    // refused (the previous ones are kept), others replace the stored ones and
    // then the settingsReceived hook answers.
    template <class SettingsReceived>
    Result<const ISettingsResponse*> accept(
        const std::string& prefix, const char* what, const IStringMap* settings, SettingsReceived&& settingsReceived) {
        if (!settings) return nullArgument(prefix, what, "settings; the previous ones are kept");
        replace(toStdMap(settings));
        return settingsReceived();
    }

    // The value of `key`, empty when absent.
    std::string value(const std::string& key) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_values.find(key);
        return it == m_values.end() ? std::string() : it->second;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
};

}  // namespace qz::sdk
