#include "engine/settings_cache.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/log.h"
#include "records/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::string escape(const std::string& text, bool isKey) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '=':
                out += isKey ? "\\=" : "=";
                break;
            default: out.push_back(c);
        }
    }
    return out;
}

// Reads an escaped text from `line` starting at `pos`; stops at an unescaped
// '=' when `stopAtEquals`. False on a dangling or unknown escape.
bool unescape(const std::string& line, size_t& pos, bool stopAtEquals, std::string& out) {
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == '=' && stopAtEquals) return true;
        ++pos;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (pos >= line.size()) return false;
        const char e = line[pos++];
        if (e == '\\') out.push_back('\\');
        else if (e == 'n') out.push_back('\n');
        else if (e == 'r') out.push_back('\r');
        else if (e == '=') out.push_back('=');
        else return false;
    }
    return !stopAtEquals;
}

}  // namespace

std::string encodeSettingsCacheLine(const std::string& key, const std::string& value) {
    return escape(key, true) + '=' + escape(value, false);
}

bool decodeSettingsCacheLine(const std::string& line, std::string& key, std::string& value) {
    key.clear();
    value.clear();
    size_t pos = 0;
    if (!unescape(line, pos, true, key) || pos >= line.size()) return false;
    ++pos;  // the '='
    return unescape(line, pos, false, value) && !key.empty();
}

std::string settingsCachePath(const std::string& folder, const std::string& deviceId) {
    std::string safeId = deviceId;
    for (char& c : safeId) {
        if (c == '/' || c == '\\') c = '_';
    }
    return folder + "/" + safeId + "_settings_cache.txt";
}

bool saveSettingsCache(const std::string& path, const SettingsMap& settings) {
    // A temporary file of this save's own, so saves that overlap never write
    // into one file; the last rename wins with a whole version.
    static std::atomic<uint64_t> saves{0};
    const std::string temporary = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(++saves);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            logMessage("Error! Could not write settings cache %s: %s\n", temporary.c_str(), std::strerror(errno));
            return false;
        }
        for (const auto& [key, value] : settings) {
            if (key == setting_keys::kSelectedPipeline || key == setting_keys::kDeviceActiveSwitch) continue;
            out << encodeSettingsCacheLine(key, value) << '\n';
        }
        out.flush();
        if (!out) {
            logMessage("Error! Could not write settings cache %s.\n", temporary.c_str());
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        logMessage("Error! Could not replace settings cache %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

SettingsMap loadSettingsCache(const std::string& path) {
    SettingsMap settings;
    std::ifstream in(path, std::ios::binary);
    if (!in) return settings;
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty()) continue;
        std::string key, value;
        if (!decodeSettingsCacheLine(line, key, value)) {
            logMessage("Warning! Skipping malformed line %zu of settings cache %s\n", lineNumber, path.c_str());
            continue;
        }
        settings[key] = value;
    }
    return settings;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
