// Which action a pressed button of a camera's settings page asks for, from
// the button's name alone. Exact names are matched before prefixes, so a
// stage key can never turn an exact button into a prefixed one.
//
// Plain function; thread-safe.
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

enum class ActiveSettingKind {
    Unknown,
    ManageDevice,
    CancelRuntimeDownload,
    ReselectRuntime,
    ResetSingleDevice,
    ResetAllDevices,
    ClearCache,
    RetryModelDownloads,
    ChooseRuntime,        // argument: the runtime's display name
    TriggerReferenceRun,  // argument: the stage key
    SelectAllClasses,     // argument: the stage key
    DeselectAllClasses,   // argument: the stage key
};

struct ActiveSettingAction {
    ActiveSettingKind kind = ActiveSettingKind::Unknown;
    std::string argument;  // the text after the prefix, for prefixed names

    bool operator==(const ActiveSettingAction&) const = default;
};

ActiveSettingAction activeSettingAction(const std::string& name);

}  // namespace qz::vms_server_plugins::analytics::qzai
