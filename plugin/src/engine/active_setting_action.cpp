#include "engine/active_setting_action.h"

#include <string_view>

#include "records/setting_keys.h"
#include "settings/setting_names.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace keys = setting_keys;

ActiveSettingAction activeSettingAction(const std::string& name) {
    using Kind = ActiveSettingKind;
    static const std::pair<const char*, Kind> kExact[] = {
        {keys::kManageDevice, Kind::ManageDevice},
        {keys::kCancelRuntimeDownloadButton, Kind::CancelRuntimeDownload},
        {keys::kReselectRuntimeButton, Kind::ReselectRuntime},
        {keys::kResetSingleDeviceButton, Kind::ResetSingleDevice},
        {keys::kResetAllDevicesButton, Kind::ResetAllDevices},
        {keys::kClearCacheButton, Kind::ClearCache},
        {keys::kModelDownloadRetryButton, Kind::RetryModelDownloads},
    };
    for (const auto& [key, kind] : kExact) {
        if (name == key) return {kind, {}};
    }
    // Each prefix is the name formed for an empty stage key or runtime name.
    static const std::pair<std::string, Kind> kPrefixes[] = {
        {libraryChoiceName(""), Kind::ChooseRuntime},
        {stageItemName(keys::kTriggerReferenceRunButton, ""), Kind::TriggerReferenceRun},
        {classButtonName(keys::kSelectAllButton, ""), Kind::SelectAllClasses},
        {classButtonName(keys::kDeSelectAllButton, ""), Kind::DeselectAllClasses},
    };
    for (const auto& [prefix, kind] : kPrefixes) {
        if (std::string_view(name).substr(0, prefix.size()) == prefix) return {kind, name.substr(prefix.size())};
    }
    return {};
}

}  // namespace qz::vms_server_plugins::analytics::qzai
