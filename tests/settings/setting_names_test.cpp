#include <gtest/gtest.h>

#include "engine/active_setting_action.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace keys = qzai::setting_keys;

TEST(SettingNames, StageNamesFollowTheStageKey) {
    const std::string root = "abc", child = root + "def";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {qzai::stageItemName(keys::kModelNms, root), "model_nms_abc"},
        {qzai::stageItemName(keys::kCropBox, root), "cropBox_abc"},
        {qzai::stageItemName(keys::kSection, root), "section_abc"},
        {qzai::classButtonName(keys::kSelectAllButton, root), "selectAllButton_abc"},
        {qzai::classButtonName(keys::kDeSelectAllButton, root), "deSelectAllButton_abc"},
        {qzai::polygonName("1", root), "polygon1.figure_abc"},
        {qzai::polygonName("#", root), "polygon#.figure_abc"},
        {qzai::maskTypeName("5", root), "maskType_5_abc"},
        {qzai::maskTypeName("#", root), "maskType_#_abc"},
        {qzai::processorSettingName(root, keys::kPostprocessorSetting, "zone"), "abc_postprocessor_setting_zone"},
        {qzai::libraryChoiceName("Generic CPU"), "libraryChoice_Generic CPU"},
        {qzai::stageItemName(keys::kModelNms, child), "model_nms_abcdef"},
    };
    for (const auto& [formed, expected] : cases) EXPECT_EQ(formed, expected);
}

TEST(SettingNames, ButtonNamesReadBackToTheirAction) {
    using Kind = qzai::ActiveSettingKind;
    const std::vector<std::pair<std::string, qzai::ActiveSettingAction>> cases = {
        {"manageDevice", {Kind::ManageDevice, ""}},
        {"clearCacheButton", {Kind::ClearCache, ""}},
        {qzai::libraryChoiceName("Intel GPU"), {Kind::ChooseRuntime, "Intel GPU"}},
        {qzai::stageItemName(keys::kTriggerReferenceRunButton, "m1m2"), {Kind::TriggerReferenceRun, "m1m2"}},
        {qzai::classButtonName(keys::kSelectAllButton, "m1"), {Kind::SelectAllClasses, "m1"}},
        {qzai::classButtonName(keys::kDeSelectAllButton, "m1"), {Kind::DeselectAllClasses, "m1"}},
        // A runtime or stage whose name is an exact key stays an argument.
        {qzai::libraryChoiceName("manageDevice"), {Kind::ChooseRuntime, "manageDevice"}},
        {"selectAllButton", {Kind::Unknown, ""}},
        {"manageDevice2", {Kind::Unknown, ""}},
        {"", {Kind::Unknown, ""}},
    };
    for (const auto& [name, action] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(qzai::activeSettingAction(name), action);
    }
}
