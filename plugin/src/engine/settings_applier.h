// Turns the settings a camera received from the host into a settings
// snapshot: the device-wide switches and, for every pipeline stage with key K,
// the per-stage settings named by the setting keys + K.
//
// Figures (region of interest, mask polygons, crossing line) arrive as JSON
// texts whose points are fractions of the frame (docs/formats.md); they are
// stored as fractions and scaled to the frame where they are used.
//
// Plain functions over their arguments; thread-safe. A refused value (not of
// its setting's form) keeps the field it would have replaced and logs one
// "Warning! Ignoring setting <key>: ..." line per key.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/device_agent_settings.h"
#include "settings/setting_names.h"

namespace qz::vms_server_plugins::analytics::qzai {

using SettingsMap = std::map<std::string, std::string>;

// Longest setting value kept; longer ones are dropped unread.
inline constexpr size_t kMaxSettingValueBytes = 64 * 1024;

// Drops from `settings` what no stage can read: mask settings numbered
// outside 1..kMaxInputMasks and values longer than kMaxSettingValueBytes. A
// dropped key whose value in `previous` is readable keeps that value. Logs
// one warning naming how many were dropped; returns that number.
size_t dropUnreadableSettings(SettingsMap& settings, const SettingsMap* previous = nullptr);

// A copy of `base` with `settings` applied (stages copied, models shared).
// The keys of refused values go to *rejected (when given), each once.
std::shared_ptr<DeviceAgentSettings_t> applyDeviceSettings(const DeviceAgentSettings_t& base,
                                                           const SettingsMap& settings,
                                                           std::vector<std::string>* rejected = nullptr);

struct AcceptedSettings {
    std::shared_ptr<DeviceAgentSettings_t> snapshot;
    SettingsMap stored;                  // what the agent keeps and caches
    std::vector<std::string> rejected;  // keys of refused new values
};

// The host sent `newReceived` while `previousReceived` was stored: values no
// stage can read are dropped first (dropUnreadableSettings); then a refused
// key keeps its previously stored value (or stays absent), so one bad value
// never replaces a good one, neither in the snapshot nor in the stored map.
// `base` is the freshly parsed settings the stored map is applied to.
AcceptedSettings acceptReceivedSettings(const SettingsMap& previousReceived, const SettingsMap& newReceived,
                                        const DeviceAgentSettings_t& base);

// The points of a figure value as a flat x, y list clamped to 0..1; empty
// optional when the value is not a figure (an empty figure gives an empty list).
std::optional<std::vector<float>> parseFigurePoints(const std::string& value);

// Sensitivity percentage from its setting text: rounded to an integer and
// clamped to 1..100; empty when the text is not a number.
std::optional<int> parseSensitivityPercentage(const std::string& value);

}  // namespace qz::vms_server_plugins::analytics::qzai
