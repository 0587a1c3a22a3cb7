#include "common/ini.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string_view>
#include <variant>

#include "common/file_utils.h"
#include "common/log.h"
#include "common/text_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

std::mutex g_pathMutex;
std::string g_iniPath;
bool g_iniBuilt = false;

// Every configuration read stays in memory for the process, so references
// handed out before a restart stay valid; `g_current` is the one in use.
std::mutex g_buildMutex;
std::atomic<const Ini*> g_current{nullptr};

struct Key {
    const char* name;
    std::variant<int Ini::*, bool Ini::*, std::string Ini::*> field;
    int minimum = std::numeric_limits<int>::min();  // smallest readable integer
};

const Key kKeys[] = {
    {"MaxNumberConcurrentInputOutputThreads", &Ini::MaxNumberConcurrentInputOutputThreads},
    {"MaxNumberConcurrentInferences", &Ini::MaxNumberConcurrentInferences},
    {"EngineThroughputWindowSize", &Ini::EngineThroughputWindowSize},
    {"ExternalProcessorReadyCheckMaxRetries", &Ini::ExternalProcessorReadyCheckMaxRetries},
    {"cacheRuntimeArchives", &Ini::cacheRuntimeArchives},
    {"RuntimesStorageURL", &Ini::RuntimesStorageURL},
    {"enableNvidiaTRTIntegration", &Ini::enableNvidiaTRTIntegration},
    {"alwaysShowRecoveryButtons", &Ini::alwaysShowRecoveryButtons},
    {"logToFile", &Ini::logToFile},
    {"sendFramesOverride", &Ini::sendFramesOverride},
    {"HTTPRequestTimeout", &Ini::HTTPRequestTimeout, 1},  // 0 or less would end every request at once
    {"HTTPRequestTotalTimeout", &Ini::HTTPRequestTotalTimeout, 1},
    {"InferenceRequestTimeout", &Ini::InferenceRequestTimeout, 1},
    {"maxRuntimePackageMiB", &Ini::maxRuntimePackageMiB, 1},
    {"maxRuntimeUnpackedMiB", &Ini::maxRuntimeUnpackedMiB, 1},
    {"maxRuntimeUnpackedEntries", &Ini::maxRuntimeUnpackedEntries, 1},
    {"logVerbosity", &Ini::logVerbosity},
    {"enableProfiling", &Ini::enableProfiling},
    {"CloudServiceURL", &Ini::CloudServiceURL},
    {"DocumentationURL", &Ini::DocumentationURL},
    {"RuntimeRepositoryURL", &Ini::RuntimeRepositoryURL},
};

std::optional<bool> parseBool(std::string_view text) {
    for (const char* yes : {"true", "1", "yes"}) {
        if (equalsIgnoringAsciiCase(text, yes)) return true;
    }
    for (const char* no : {"false", "0", "no"}) {
        if (equalsIgnoringAsciiCase(text, no)) return false;
    }
    return std::nullopt;
}

// Stores the value in its field; false when it cannot be read.
bool applyValue(Ini& config, const Key& key, std::string_view value) {
    return std::visit(
        [&](auto member) -> bool {
            using Field = std::remove_reference_t<decltype(config.*member)>;
            if constexpr (std::is_same_v<Field, int>) {
                const auto parsed = parseInteger<int>(value);
                if (!parsed || *parsed < key.minimum) return false;
                config.*member = *parsed;
                return true;
            } else if constexpr (std::is_same_v<Field, bool>) {
                const auto parsed = parseBool(value);
                if (parsed) config.*member = *parsed;
                return parsed.has_value();
            } else {
                config.*member = std::string(value);
                return true;
            }
        },
        key.field);
}

}  // namespace

Ini parseIniText(const std::string& text, const std::string& sourceName) {
    Ini config;
    std::string_view rest = text;
    int lineNumber = 0;
    while (!rest.empty()) {
        const size_t lineEnd = rest.find('\n');
        const std::string_view line = trimWhitespace(rest.substr(0, lineEnd));
        rest = lineEnd == std::string_view::npos ? std::string_view{} : rest.substr(lineEnd + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            logMessage("Warning! Ignoring line %d of %s: no '='.\n", lineNumber, sourceName.c_str());
            continue;
        }
        const std::string_view name = trimWhitespace(line.substr(0, equals));
        const std::string_view value = trimWhitespace(line.substr(equals + 1));
        const auto key = std::find_if(std::begin(kKeys), std::end(kKeys),
                                      [&](const Key& k) { return name == k.name; });
        if (key == std::end(kKeys)) continue;
        if (!applyValue(config, *key, value)) {
            logMessage("Warning! Invalid value '%.*s' for %s in %s; using the default.\n",
                       static_cast<int>(value.size()), value.data(), key->name, sourceName.c_str());
        }
    }
    return config;
}

Ini loadIniFile(const std::string& path) {
    const auto text = readTextFile(path);
    if (!text) {
        logInfo("Info: Configuration file %s not found; using the defaults.\n", path.c_str());
        return Ini{};
    }
    return parseIniText(*text, path);
}

void setIniPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    if (g_iniBuilt) {
        logMessage("Warning! Configuration already read; ignoring the new path %s.\n", path.c_str());
        return;
    }
    g_iniPath = path;
}

void setIniDirectory(const std::string& directory) {
    setIniPath((std::filesystem::path(directory) / kIniFileName).string());
}

const Ini& ini() {
    if (const Ini* current = g_current.load(std::memory_order_acquire)) return *current;
    std::lock_guard<std::mutex> build(g_buildMutex);
    if (const Ini* current = g_current.load(std::memory_order_acquire)) return *current;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        g_iniBuilt = true;
        path = g_iniPath;
    }
    static std::deque<Ini> built;
    built.push_back(path.empty() ? Ini{} : loadIniFile(path));
    g_current.store(&built.back(), std::memory_order_release);
    return built.back();
}

void restartIni() {
    std::lock_guard<std::mutex> build(g_buildMutex);
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_iniPath.clear();
    g_iniBuilt = false;
    g_current.store(nullptr, std::memory_order_release);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
