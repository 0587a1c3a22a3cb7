#include "host/settings_page_check.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "records/setting_keys.h"
#include "settings/setting_names.h"

namespace qz::test_host {

namespace {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

// The value of `key` in the camera's settings cache ("key=value" lines).
std::string cachedValue(const std::string& dataDirectory, const std::string& deviceId, const std::string& key) {
    std::ifstream in(dataDirectory + "/" + deviceId + "_settings_cache.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    }
    return {};
}

void countSections(const nlohmann::json& sections, SettingsPageSummary& summary) {
    if (!sections.is_array()) return;
    for (const auto& section : sections) {
        ++summary.stageSections;
        summary.sectionNames.push_back(section.value("name", ""));
        if (section.contains("sections")) countSections(section["sections"], summary);
    }
}

}  // namespace

SettingsPageSummary checkSettingsPage(TestHost& host, const std::string& deviceId,
                                      std::map<std::string, std::string> settings, const std::string& stageKey,
                                      const std::string& dataDirectory) {
    SettingsPageSummary summary;
    const auto page = nlohmann::json::parse(host.pluginSideSettings(deviceId).model, nullptr, false);
    if (!page.is_object() || !page.contains("items") || !page["items"].is_array() || page["items"].empty()) {
        summary.error = "the settings page is not a settings model";
        return summary;
    }
    summary.ok = true;
    summary.rootItems = page["items"].size();
    bool beforeControls = true;
    for (const auto& item : page["items"]) {
        if (item.value("name", "") == qzai::setting_keys::kDeviceActiveSwitch) {
            summary.ready = item.value("visible", false);
            beforeControls = false;
        }
        if (beforeControls && summary.statusBanner.empty() && item.value("type", "") == "Banner") {
            summary.statusBanner = item.value("text", "");
        }
        if (item.value("caption", "") != "Device Overview" || !item.contains("items")) continue;
        const std::string text = item["items"].at(0).value("text", "");
        summary.runtimeLine = text.substr(0, text.find('\n'));
        for (size_t at = text.find("Model: "); at != std::string::npos; at = text.find("Model: ", at + 1)) {
            ++summary.overviewModels;
        }
    }

    if (page.contains("sections")) countSections(page["sections"], summary);
    const auto manifest = nlohmann::json::parse(host.deviceManifest(deviceId), nullptr, false);
    if (manifest.is_object() && manifest.contains("supportedTypes") && manifest["supportedTypes"].is_array()) {
        for (const auto& entry : manifest["supportedTypes"]) summary.manifestObjectTypes += entry.contains("objectTypeId");
    }

    // A good sensitivity, then a bad one: the good one stays stored.
    const std::string sensitivity = qzai::stageItemName(qzai::setting_keys::kModelNms, stageKey);
    settings[sensitivity] = "50";
    host.setDeviceSettings(deviceId, settings);
    settings[sensitivity] = "very high";
    const auto reply = host.setDeviceSettings(deviceId, settings);
    summary.badValueRefused = cachedValue(dataDirectory, deviceId, sensitivity) == "50" &&
                              nlohmann::json::parse(reply.model, nullptr, false).is_object();
    return summary;
}

void printSettingsPageSummary(const SettingsPageSummary& summary, FILE* out) {
    if (!summary.ok) {
        std::fprintf(out, "settings page: FAILED: %s\n", summary.error.c_str());
        return;
    }
    std::fprintf(out, "settings page: %zu root items, device controls %s, overview \"%s\" with %zu model(s); "
                      "a bad sensitivity value was %s\n",
                 summary.rootItems, summary.ready ? "shown" : "hidden", summary.runtimeLine.c_str(),
                 summary.overviewModels, summary.badValueRefused ? "refused and the stored value kept" : "NOT refused");
    if (!summary.statusBanner.empty()) std::fprintf(out, "  status banner: %s\n", summary.statusBanner.c_str());
    std::string names;
    for (const auto& name : summary.sectionNames) names += (names.empty() ? "" : ", ") + name;
    std::fprintf(out, "  stage sections: %zu (%s); device manifest: %zu object type(s)\n", summary.stageSections,
                 names.c_str(), summary.manifestObjectTypes);
}

}  // namespace qz::test_host
