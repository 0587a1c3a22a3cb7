// SettingsStore: the last settings the host sent to an engine or device
// agent, replaced whole on each send. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>

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
