#include "runtimes/runtime_catalogue.h"

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kRepositoryPath = "/PELM/runtimes/";
constexpr const char* kRepositoryVersion = "2.0.0";
constexpr const char* kAddressTemplate =
    "{chip_name}/{cpu_arch}/{os_name}{/os_version}/library{-driver_version}.tar.gz";
constexpr const char* kNoMimeTypes = "ERROR: No supported mime types found for the runtime\n";

}  // namespace

const char* runtimeDocumentationPath(const std::string& runtimeName) {
    if (runtimeName == kRuntimeHailo) return "/kelv/accelerators/hailo_support";
    if (runtimeName == kRuntimeNvidia || runtimeName == kRuntimeNvidiaTensorRt) {
        return "/kelv/accelerators/nvidia_support";
    }
    if (runtimeName == kRuntimeDeepx) return "/kelv/accelerators/deepx_support";
    if (runtimeName == kRuntimeIntel || runtimeName == kRuntimeNativeIntelInt8) {
        return "/kelv/accelerators/intel_support";
    }
    return "";
}

std::unordered_map<std::string, std::string> runtimeDocumentationLinks(const std::string& documentationBase) {
    std::unordered_map<std::string, std::string> links;
    for (const char* name : kRuntimeDisplayNames) {
        const std::string path = runtimeDocumentationPath(name);
        links[name] = path.empty() ? std::string() : documentationBase + path;
    }
    return links;
}

std::string RuntimeInfo::firstMimeType() const {
    if (mimeTypes.empty()) {
        logMessage("%s", kNoMimeTypes);
        return {};
    }
    return mimeTypes.front();
}

bool RuntimeInfo::acceptsMimeType(const std::string& mimeType) const {
    if (mimeType.empty()) return true;
    for (const auto& type : mimeTypes) {
        if (type == mimeType) return true;
    }
    return false;
}

std::string ChipStatus::getRuntimeDownloadLink(const std::string& runtimeName) const {
    const auto it = runtimes.find(runtimeName);
    if (it == runtimes.end()) {
        logMessage("ERROR: Runtime %s not found 1\n", runtimeName.c_str());
        return {};
    }
    const std::string mimeType = it->second.firstMimeType();
    logMessage("Download link: %s (mimetype: %s)\n", it->second.downloadUrl.c_str(), mimeType.c_str());
    return it->second.downloadUrl;
}

std::string ChipStatus::getRuntimeMimeType(const std::string& runtimeName) const {
    const auto it = runtimes.find(runtimeName);
    if (it == runtimes.end()) {
        logMessage("ERROR: Runtime %s not found 2\n", runtimeName.c_str());
        return {};
    }
    return it->second.firstMimeType();
}

std::vector<std::string> ChipStatus::matchRuntimes(const std::string& mimeType) const {
    std::vector<std::string> names;
    for (const auto& [name, info] : runtimes) {
        if (info.acceptsMimeType(mimeType)) names.push_back(name);
    }
    return names;
}

void ChipStatus::printChipStatus() const {
    if (!chipDetected) return;
    logMessage("Chip name: %s, Chip detected: %d, Correctly installed: %d, Number of chips: %d, API version: %s\n",
               chipName.c_str(), chipDetected ? 1 : 0, correctlyInstalled ? 1 : 0, numberOfChips, apiVersion.c_str());
}

std::string substitutePlaceholders(const std::string& text,
                                   const std::vector<std::pair<std::string, std::string>>& replacements) {
    std::string result;
    result.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        bool replaced = false;
        for (const auto& [pattern, value] : replacements) {
            if (!pattern.empty() && text.compare(pos, pattern.size(), pattern) == 0) {
                result += value;
                pos += pattern.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) result += text[pos++];
    }
    return result;
}

RuntimeInfo buildRuntimeDownloadUrl(const std::string& chipName, CpuArchitecture architecture,
                                    const std::string& osName, const std::string& osVersion,
                                    const std::string& driverVersion, const RuntimesConfig& config) {
    std::string url = !config.RuntimesStorageURL.empty()
        ? config.RuntimesStorageURL
        : config.repositoryBase + kRepositoryPath + kRepositoryVersion;
    if (url.empty() || url.back() != '/') url += '/';
    url += kAddressTemplate;
    RuntimeInfo info;
    info.downloadUrl = substitutePlaceholders(
        url, {{"{chip_name}", chipName},
              {"{cpu_arch}", architectureName(architecture)},
              {"{os_name}", osName},
              {"{/os_version}", osVersion.empty() ? std::string() : "/" + osVersion},
              {"{-driver_version}", driverVersion.empty() ? std::string() : "-" + driverVersion}});
    return info;
}

void registerRuntime(ChipStatus& record, const std::string& runtimeName, const std::string& chipToken,
                     const std::string& osName, const std::string& osVersion, const std::string& driverVersion,
                     const std::string& mimeType, const RuntimesConfig& config) {
    if (!record.correctlyInstalled) return;
    RuntimeInfo info =
        buildRuntimeDownloadUrl(chipToken, record.cpuArchitecture, osName, osVersion, driverVersion, config);
    info.mimeTypes = {mimeType};
    record.runtimes[runtimeName] = std::move(info);
}

void registerHailoRuntime(HailoChipStatus& record, const std::string& osName, const RuntimesConfig& config) {
    if (!record.correctlyInstalled) return;
    const char* mimeType = record.generation == 1 ? "application/x-hailo8"
                         : record.generation == 2 ? "application/x-hailo8l"
                                                  : nullptr;
    if (!mimeType) {
        logMessage("%s", kNoMimeTypes);
        return;
    }
    registerRuntime(record, kRuntimeHailo, "HAILO", osName, "", record.apiVersion, mimeType, config);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
