// The main job's look at a camera's settings page: what the host would draw
// after the run (root items, readiness, the overview's runtime and models),
// and whether a bad value the host sends is refused while the good value
// before it stays stored (read back from the camera's settings cache file).
//
// Runs on the main job's thread against a loaded, running plug-in.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/test_host.h"

namespace qz::test_host {

struct SettingsPageSummary {
    bool ok = false;            // the page is a settings model with root items
    std::string error;
    size_t rootItems = 0;
    bool ready = false;         // the device controls are shown
    std::string statusBanner;   // text of the first banner, when one comes before the controls
    std::string runtimeLine;    // "Active AI Runtime: ..." of the overview
    size_t overviewModels = 0;  // "Model: " lines of the overview
    bool badValueRefused = false;
    size_t stageSections = 0;        // per-stage sections, nested ones included
    std::vector<std::string> sectionNames;
    size_t manifestObjectTypes = 0;  // "objectTypeId" entries of the device manifest
};

// `settings` are the camera's current settings; `stageKey` names a stage of
// its pipeline; `dataDirectory` holds the settings cache files.
SettingsPageSummary checkSettingsPage(TestHost& host, const std::string& deviceId,
                                      std::map<std::string, std::string> settings, const std::string& stageKey,
                                      const std::string& dataDirectory);

void printSettingsPageSummary(const SettingsPageSummary& summary, FILE* out);

}  // namespace qz::test_host
