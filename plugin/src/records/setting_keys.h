// The shared vocabulary of the settings pages: item names of the settings
// models, which the host hands back as keys of the received settings and as
// names of pressed buttons, and the event type ids the rules emit.
//
// A prefix key is completed with the stage key K (the stage's model id after
// its parent's key); see the comment on each group. Names are formed from
// these keys only through settings/setting_names.h. Constant texts, safe from
// any thread.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai::setting_keys {

// Exact keys.
inline constexpr const char* kCancelRuntimeDownloadButton = "cancelRuntimeDownloadButton";
inline constexpr const char* kClearCacheButton = "clearCacheButton";
inline constexpr const char* kDeviceActiveSwitch = "deviceActiveSwitch";
inline constexpr const char* kManageDevice = "manageDevice";
inline constexpr const char* kModelDownloadRetryButton = "modelDownloadRetryButton";
inline constexpr const char* kReselectRuntimeButton = "reselectRuntimeButton";
inline constexpr const char* kResetAllDevicesButton = "resetAllDevicesButton";
inline constexpr const char* kResetSingleDeviceButton = "resetSingleDeviceButton";
inline constexpr const char* kSelectedPipeline = "selectedPipeline";

// Prefix + K.
inline constexpr const char* kCropBox = "cropBox_";
inline constexpr const char* kModelNms = "model_nms_";
inline constexpr const char* kVisualiseClasses = "visualise_classes_";
inline constexpr const char* kLineCrossingLine = "lineCrossingLine_";
inline constexpr const char* kLoiterDetectionObjectClass = "loiterDetectionObjectClass_";
inline constexpr const char* kLoiterDetectionTimeThreshold = "loiterDetectionTimeThreshold_";
inline constexpr const char* kDumpingDetectionObjectType = "dumpingDetectionObjectType_";
inline constexpr const char* kDumpingDetectionTimeThreshold = "dumpingDetectionTimeThreshold_";
inline constexpr const char* kTriggerReferenceRunButton = "triggerReferenceRunButton_";

// Prefix + "_" + K.
inline constexpr const char* kSelectAllButton = "selectAllButton";
inline constexpr const char* kDeSelectAllButton = "deSelectAllButton";

// maskType_ + number + "_" + K; polygon + number + ".figure_" + K.
inline constexpr const char* kMaskType = "maskType_";
inline constexpr const char* kPolygon = "polygon";

// K + infix + the processor's own setting name.
inline constexpr const char* kPreprocessorSetting = "_preprocessor_setting_";
inline constexpr const char* kPostprocessorSetting = "_postprocessor_setting_";

// Prefix + runtime display name.
inline constexpr const char* kLibraryChoice = "libraryChoice_";

// Prefix + K: the name of a stage's section on the settings page. Not a value
// the host sends back; kept here so every stage-derived name has one source.
inline constexpr const char* kSection = "section_";

}  // namespace qz::vms_server_plugins::analytics::qzai::setting_keys

namespace qz::vms_server_plugins::analytics::qzai::event_types {

inline constexpr const char* kFps = "qz.qzai.fps";
inline constexpr const char* kCounted = "qz.qzai.counted";
inline constexpr const char* kLoiterAlarm = "qz.qzai.loiter_alarm";
inline constexpr const char* kCategory = "qz.qzai.category";
inline constexpr const char* kLineCrossing = "qz.qzai.linecrossing";
inline constexpr const char* kDumping = "qz.qzai.dumping";

}  // namespace qz::vms_server_plugins::analytics::qzai::event_types
