// The device-agent settings model, built from plain inputs: status banners,
// device controls, notices, model problems, the recovery row, the device
// overview and the stage sections, in that order.
#include <new>
#include <set>

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "common/log.h"
#include "common/text_utils.h"
#include "settings/pipeline_description.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"
#include "settings/settings_manager.h"
#include "settings/stage_sections.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::ordered_json;
namespace keys = setting_keys;

constexpr const char* kCustomPipeline = "Custom";
constexpr const char* kSupportPath = "/kelv/support/get_support";

ordered_json statusBanner(const char* icon, const char* text) {
    ordered_json banner;
    banner["type"] = "Banner";
    banner["icon"] = icon;
    if (text) banner["text"] = text;
    return banner;
}

ordered_json noticeBanner(const std::string& text, const char* icon) {
    ordered_json banner;
    banner["type"] = "Banner";
    banner["text"] = text;
    banner["icon"] = icon;
    return banner;
}

ordered_json actionButton(const std::string& name, const std::string& caption, const char* description) {
    ordered_json button;
    button["type"] = "Button";
    button["name"] = name;
    button["caption"] = caption;
    button["description"] = description;
    button["isActive"] = "true";
    return button;
}

ordered_json visibleButton(const char* name, const char* caption, const char* description, bool visible) {
    ordered_json button = actionButton(name, caption, description);
    button["visible"] = visible;
    return button;
}

void addTroubleshootingLabel(ordered_json& items, const std::string& documentationBase) {
    ordered_json label;
    label["type"] = "Label";
    label["caption"] = "Troubleshooting";
    label["text"] = makeHtmlLink(documentationBase + kSupportPath, "Open documentation");
    items.push_back(std::move(label));
}

const char* cloudStateText(CloudConnectionState state) {
    switch (state) {
        case CloudConnectionState::NoCloudToken:
            return "This system is not registered to a cloud user. Add a cloud user through the System "
                   "Administration.";
        case CloudConnectionState::BeingRegistered:
            return "This server is currently being registered. Click the 'Refresh' button to check if it's "
                   "completed. If this is taking longer than usual, there may be a problem with your cloud "
                   "connection.";
        case CloudConnectionState::RegistrationFailed:
            return "Something went wrong with registering this server. Please check your cloud connection. If "
                   "the problem persists, contact support.";
        case CloudConnectionState::Checking:
            return "Checking if your device is registered. Click the 'Refresh' button to check if it's "
                   "completed.";
        default: return nullptr;
    }
}

// The runtime banner and the buttons that follow it (any state but Ready).
void addRuntimeStatus(ordered_json& items, const RuntimeSnapshot& runtime) {
    constexpr const char* kDetecting =
        "The AI Plugin is detecting the available AI accelerators on your device. Please wait a moment and "
        "click the 'Refresh' button.";
    constexpr const char* kInstalling =
        "The AI Plugin is installing your acceleration library. Please wait a moment and click the 'Refresh' "
        "button.";
    switch (runtime.state) {
        case RuntimeState::Detecting:
        case RuntimeState::ReselectRequested: items.push_back(statusBanner("info", kDetecting)); break;
        case RuntimeState::SelectionMade: items.push_back(statusBanner("info", kInstalling)); break;
        case RuntimeState::Installing:
            items.push_back(statusBanner("info", kInstalling));
            items.push_back(actionButton(keys::kCancelRuntimeDownloadButton, "Cancel Download",
                                         "Cancel the runtime download currently in progress."));
            break;
        case RuntimeState::InstallFailed:
            items.push_back(statusBanner(
                "info", runtime.downloadCancelled
                            ? "The runtime download was cancelled. Click 'Reselect Runtime' below to choose a "
                              "runtime and try again."
                            : "The AI Plugin could not install the acceleration library. Please contact support."));
            items.push_back(actionButton(keys::kReselectRuntimeButton, "Reselect Runtime",
                                         "Reselect the runtime to use for inference."));
            break;
        case RuntimeState::NoCompatibleRuntime:
            items.push_back(statusBanner(
                "info",
                "The AI Plugin could not find any runtimes compatible with your device. Please contact support."));
            break;
        case RuntimeState::AwaitingSelection:
            items.push_back(statusBanner("info", "Multiple AI-capable devices detected. Select one to use."));
            for (const auto& name : runtime.compatibleRuntimes) {
                items.push_back(actionButton(libraryChoiceName(name), name,
                                             "Install this acceleration library on your server."));
            }
            break;
        default: items.push_back(statusBanner("info", nullptr)); break;
    }
}

// Banners of failed and downloading models, each model once. True when a
// failed model was shown.
bool addModelBanners(ordered_json& items, const std::vector<pipeline_stage_parameters_t>& stages,
                     const std::string& documentationBase) {
    bool failed = false;
    std::set<std::string> seen;
    for (const auto* stage : flattenPipelineStages(stages)) {
        if (!stage->model || !seen.insert(stage->model->id).second) continue;
        const ModelDetails_t& model = *stage->model;
        const std::vector<std::string> errors = model.errorsCopy();
        const ModelDownloadState state = model.downloadState.load();
        if (state == ModelDownloadState::Failed && !errors.empty()) {
            std::string text = "Model " + model.name + " has errors:\n";
            for (const auto& error : errors) text += error + "\n";
            items.push_back(noticeBanner(text, "warning"));
            addTroubleshootingLabel(items, documentationBase);
            failed = true;
        }
        if (state == ModelDownloadState::Downloading) {
            items.push_back(noticeBanner("Model " + model.name + " is downloading: (" +
                                             std::to_string(model.downloadProgress.load()) + "%)",
                                         "info"));
        }
    }
    return failed;
}

}  // namespace

std::string SettingsManager::createDeviceAgentSettingsModelString(
    const SettingsModelInputs& inputs, const std::map<DeviceAgentErrorType, std::string>& errors,
    std::shared_ptr<const DeviceAgentSettings_t> snapshot) {
    if (!snapshot) snapshot = std::make_shared<const DeviceAgentSettings_t>();
    const DeviceAgentSettings_t& settings = *snapshot;
    ordered_json items = ordered_json::array();
    bool ready = true;

    if (inputs.cloudState != CloudConnectionState::TokenObtained) {
        logMessage("Server not registered. Status: %d\n", static_cast<int>(inputs.cloudState));
        ready = false;
        items.push_back(statusBanner("info", cloudStateText(inputs.cloudState)));
    }
    if (ready && inputs.runtime.state != RuntimeState::Ready) {
        ready = false;
        addRuntimeStatus(items, inputs.runtime);
    }
    if (ready && !errors.empty()) {
        std::string text = "The Device Agent reported errors:";
        for (const auto& [type, error] : errors) text += "\n-" + error;
        ordered_json banner;
        banner["type"] = "Banner";
        banner["icon"] = "warning";
        banner["text"] = text;
        items.push_back(std::move(banner));
        addTroubleshootingLabel(items, inputs.documentationBase);
    }
    if (ready && !settings.cloudParametersReceived) {
        ready = false;
        items.push_back(statusBanner("info",
                                     "Waiting for this device's parameters from the cloud. Please wait a moment "
                                     "and click the 'Refresh' button."));
    }
    if (ready && settings.availablePipelines.empty()) {
        ready = false;
        items.push_back(statusBanner("info",
                                     "Gathering available AI pipelines from the cloud. Please wait a moment and "
                                     "click the 'Refresh' button."));
    }

    ordered_json activeSwitch;
    activeSwitch["type"] = "SwitchButton";
    activeSwitch["name"] = keys::kDeviceActiveSwitch;
    activeSwitch["caption"] = "Device Active";
    activeSwitch["description"] =
        "If the device is active, the frames from this device will be sent to the AI Runtime for inference.";
    activeSwitch["defaultValue"] = false;
    activeSwitch["visible"] = ready;
    items.push_back(std::move(activeSwitch));

    std::string shownPipeline = settings.selectedPipeline;
    if (!settings.availablePipelines.empty() && !settings.selectedPipeline.empty()) {
        bool offered = false;
        ordered_json captions = ordered_json::object();
        ordered_json range = ordered_json::array();
        for (const auto& pipeline : settings.availablePipelines) {
            // A repeated id keeps its first entry; "Custom" names the
            // device's own pipeline and is never a cloud one.
            if (pipeline.uuid == kCustomPipeline || captions.contains(pipeline.uuid)) continue;
            offered = offered || pipeline.uuid == settings.selectedPipeline;
            captions[pipeline.uuid] = pipeline.name;
            range.push_back(pipeline.uuid);
        }
        captions[kCustomPipeline] = kCustomPipeline;
        range.push_back(kCustomPipeline);
        if (!offered) shownPipeline = kCustomPipeline;
        ordered_json choice;
        choice["type"] = "ComboBox";
        choice["name"] = keys::kSelectedPipeline;
        choice["caption"] = "AI Pipeline";
        choice["description"] = "Choose which AI pipeline to run on the current device.";
        choice["defaultValue"] = shownPipeline;
        choice["itemCaptions"] = std::move(captions);
        choice["range"] = std::move(range);
        choice["visible"] = ready;
        items.push_back(std::move(choice));
    }

    items.push_back(visibleButton(keys::kManageDevice, "Manage Device",
                                  "Open a browser window to manage the device from the cloud.",
                                  ready && shownPipeline == kCustomPipeline));
    items.push_back(visibleButton(keys::kReselectRuntimeButton, "Reselect Runtime",
                                  "Reselect the runtime to use for inference.", ready));

    bool showRecovery = inputs.alwaysShowRecoveryButtons;
    for (const auto& [id, notice] : inputs.notices) {
        const bool warning = notice.type != MessagingManager::MessageType::Info;
        items.push_back(noticeBanner(notice.text, warning ? "warning" : "info"));
        if (warning) {
            addTroubleshootingLabel(items, inputs.documentationBase);
            showRecovery = true;
        }
    }

    bool modelFailed = false;
    if (inputs.runtime.state == RuntimeState::Ready) {
        modelFailed = addModelBanners(items, settings.stages, inputs.documentationBase);
        showRecovery = showRecovery || modelFailed;
    }

    ordered_json recovery = ordered_json::array();
    recovery.push_back(visibleButton(keys::kResetSingleDeviceButton, "Reset This Device",
                                     "This will reset this device to its default configuration.", showRecovery));
    recovery.push_back(visibleButton(keys::kResetAllDevicesButton, "Reset All Devices",
                                     "This will reset all initialized devices to their default configurations.",
                                     showRecovery));
    recovery.push_back(visibleButton(keys::kClearCacheButton, "Clear Cache",
                                     "This will clear all files downloaded by the plugin, forcing them to be "
                                     "redownloaded.",
                                     showRecovery));
    if (modelFailed) {
        recovery.push_back(actionButton(keys::kModelDownloadRetryButton, "Retry Model Downloads",
                                        "This will retry all failed model downloads."));
    }
    ordered_json row;
    row["type"] = "Row";
    row["items"] = std::move(recovery);
    items.push_back(std::move(row));

    std::string overview = "Active AI Runtime: " + inputs.runtime.installedRuntimeName +
                           "\n\nPipelines active on this device:\n";
    appendPipelineDescription(settings.stages, overview, 0, inputs.preprocessors, inputs.postprocessors);
    ordered_json overviewBanner;
    overviewBanner["type"] = "Banner";
    overviewBanner["icon"] = "info";
    overviewBanner["text"] = std::move(overview);
    ordered_json group;
    group["type"] = "GroupBox";
    group["caption"] = "Device Overview";
    group["items"] = ordered_json::array({std::move(overviewBanner), ordered_json{{"type", "Separator"}}});
    group["visible"] = ready;
    items.push_back(std::move(group));

    ordered_json model;
    model["type"] = "Settings";
    model["items"] = std::move(items);
    model["sections"] = ordered_json::array();
    try {
        addPipelineStageSections(settings.stages, model["sections"],
                                 StageSectionsContext{ready, shownPipeline, inputs.preprocessors, inputs.postprocessors});
    } catch (const std::bad_alloc& error) {
        logMessage("Error creating settings model string: %s\n", error.what());
        return "{}";
    }

    const std::string text = jsonDocToString(std::move(model));
    logInfo("Device Agent Settings Model: %s\n", text.c_str());
    return text;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
