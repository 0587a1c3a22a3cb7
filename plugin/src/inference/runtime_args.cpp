#include "inference/runtime_args.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "common/file_utils.h"
#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

RuntimeArgList::View::View(const RuntimeArgList& list) {
    const size_t count = std::min(list.keys.size(), list.values.size());
    if (count == 0) return;
    m_keys.reserve(count);
    m_values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        m_keys.push_back(list.keys[i].c_str());
        m_values.push_back(list.values[i].c_str());
    }
    m_args.count = static_cast<uint32_t>(count);
    m_args.keys = m_keys.data();
    m_args.values = m_values.data();
}

RuntimeArgList loadRuntimeArgs(const std::string& directory) {
    RuntimeArgList result;
    const std::string path = (fs::path(directory) / "runtime_args.json").string();
    logMessage("Trying to load runtime args from '%s'\n", path.c_str());

    std::error_code ec;
    if (!fs::exists(path, ec)) {
        logMessage("Runtime args file not found at %s, using empty config.\n", path.c_str());
        return result;
    }
    const std::string text = readTextFile(path).value_or(std::string());
    if (text.empty()) {
        logMessage("Warning! Runtime args file is empty: %s\n", path.c_str());
        return result;
    }
    const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded()) {
        logMessage("Warning! Failed to parse runtime args JSON: %s\n", path.c_str());
        return result;
    }
    if (!doc.is_object()) {
        logMessage("Warning! Runtime args JSON is not an object: %s\n", path.c_str());
        return result;
    }
    for (const auto& [key, value] : doc.items()) {
        if (!value.is_string()) {
            logMessage("Warning! Runtime arg '%s' has a non-string value, skipping.\n", key.c_str());
            continue;
        }
        result.keys.push_back(key);
        result.values.push_back(value.get<std::string>());
    }
    logMessage("Loaded %zu runtime args from %s\n", result.keys.size(), path.c_str());
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
