// The one place where item names of the settings pages are formed from the
// setting keys (records/setting_keys.h). The model builders write names with
// these functions and the device agent reads received settings and pressed
// buttons back with the same ones, so the two sides cannot drift apart.
//
// K is a stage key (a parent's key followed by the stage's model id). Plain
// functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qz::vms_server_plugins::analytics::qzai {

// prefix + K, e.g. "model_nms_" + K, "cropBox_" + K, "section_" + K.
std::string stageItemName(std::string_view prefix, std::string_view stageKey);

// button + "_" + K, for the select-all and deselect-all buttons.
std::string classButtonName(std::string_view button, std::string_view stageKey);

// "maskType_" + n + "_" + K and "polygon" + n + ".figure_" + K. `n` is "#"
// in the repeater template (the host puts the repetition number there) and
// "1".."5" when the agent reads the values back.
std::string maskTypeName(std::string_view n, std::string_view stageKey);
std::string polygonName(std::string_view n, std::string_view stageKey);

// The number text n of a name of either form above when n is a run of
// decimal digits; nothing for any other name.
std::optional<std::string_view> maskNumberText(std::string_view name);

// Masks a stage offers (the repeater's count), and the point limits of the
// figures the page declares; the device agent refuses values beyond them.
inline constexpr int kMaxInputMasks = 5;
inline constexpr int kPolygonMinPoints = 3;
inline constexpr int kPolygonMaxPoints = 8;
inline constexpr int kLinePoints = 2;

// K + infix + the processor's own setting name; infix is one of the
// pre-/post-processor setting keys.
std::string processorSettingName(std::string_view stageKey, std::string_view infix, std::string_view name);

// "libraryChoice_" + the runtime's display name.
std::string libraryChoiceName(std::string_view runtime);

}  // namespace qz::vms_server_plugins::analytics::qzai
