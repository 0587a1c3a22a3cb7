#include "settings/stage_sections.h"

#include "common/json_utils.h"
#include "common/log.h"
#include "records/setting_keys.h"
#include "settings/setting_name_prefix.h"
#include "settings/setting_names.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::ordered_json;
namespace keys = setting_keys;

const char* stageBannerText(ChainMethod method) {
    switch (method) {
        case ChainMethod::Root:
            return "This is the root model. It processes the input frames from the video stream.";
        case ChainMethod::Direct:
            return "This model receives direct input from the previous model. The output tensors from the previous "
                   "model are fed directly as input to this model.";
        case ChainMethod::FeatureExtraction:
            return "This model extracts features from the previous model. Each bounding box detected by the "
                   "previous model is used to create sub-images, which are then fed to this model as separate "
                   "inputs.";
        case ChainMethod::Conditional:
            return "This model runs conditionally based on the previous model's output. It will only execute if the "
                   "previous model outputs a true condition.";
    }
    return "";
}

ordered_json group(const char* caption, ordered_json items, bool visible) {
    ordered_json box;
    box["type"] = "GroupBox";
    box["caption"] = caption;
    box["items"] = std::move(items);
    box["visible"] = visible;
    return box;
}

ordered_json stageBanner(ChainMethod method) {
    ordered_json banner;
    banner["type"] = "Banner";
    banner["icon"] = "information";
    banner["text"] = stageBannerText(method);
    return banner;
}

ordered_json sensitivity(const std::string& key, bool visible) {
    ordered_json item;
    item["type"] = "SpinBox";
    item["name"] = stageItemName(keys::kModelNms, key);
    item["caption"] = "Model Sensitivity";
    item["suffix"] = "%";
    item["description"] =
        "Controls the sensitivity of the model. A higher value will make the model more sensitive, resulting in "
        "more detections but also more false positives.";
    item["isActive"] = "false";
    item["defaultValue"] = 42.0;
    item["minValue"] = 1.0;
    item["maxValue"] = 100.0;
    item["step"] = 5.0;
    item["visible"] = visible;
    return item;
}

ordered_json regionOfInterest(const std::string& key, bool visible) {
    ordered_json item;
    item["type"] = "BoxFigure";
    item["caption"] = "Region of Interest";
    item["name"] = stageItemName(keys::kCropBox, key);
    item["description"] = "The image will be cropped to this region before being sent to Kelvane.";
    item["visible"] = visible;
    return item;
}

ordered_json lineCrossingGroup(const std::string& key, bool visible) {
    ordered_json line;
    line["type"] = "LineFigure";
    line["name"] = stageItemName(keys::kLineCrossingLine, key);
    line["caption"] = "Line";
    line["description"] = "The line to detect crossings on.";
    line["allowedDirections"] = "none";
    line["visible"] = visible;
    return group("Line Crossing", ordered_json::array({std::move(line)}), visible);
}

ordered_json seconds(const std::string& name, const char* caption, const char* description, int64_t defaultValue,
                     bool visible) {
    ordered_json item;
    item["type"] = "SpinBox";
    item["name"] = name;
    item["caption"] = caption;
    item["description"] = description;
    item["minValue"] = 1;
    item["maxValue"] = 1000;
    item["defaultValue"] = defaultValue;
    item["visible"] = visible;
    return item;
}

ordered_json textField(const std::string& name, const char* caption, const char* description,
                       const char* defaultValue, bool visible) {
    ordered_json item;
    item["type"] = "TextField";
    item["name"] = name;
    item["caption"] = caption;
    item["description"] = description;
    item["defaultValue"] = defaultValue;
    item["visible"] = visible;
    return item;
}

ordered_json loiteringGroup(const std::string& key, bool visible) {
    ordered_json items = ordered_json::array();
    items.push_back(seconds(stageItemName(keys::kLoiterDetectionTimeThreshold, key),
                            "Loiter Detection Time Threshold (s)",
                            "Loitering will be detected on persons who stay in frame for at least this amount of time.",
                            30, visible));
    items.push_back(textField(stageItemName(keys::kLoiterDetectionObjectClass, key), "Loiter Detection Class",
                              "Which object type to check for loitering detection.", "person", visible));
    return group("Loitering Detection", std::move(items), visible);
}

ordered_json dumpingGroup(const std::string& key, bool visible) {
    ordered_json items = ordered_json::array();
    items.push_back(textField(stageItemName(keys::kDumpingDetectionObjectType, key), "Dumping Detection Class",
                              "Which object type to check for illegal dumping.", "object", visible));
    items.push_back(seconds(stageItemName(keys::kDumpingDetectionTimeThreshold, key),
                            "Dumping Detection Time Threshold (s)",
                            "Dumping will be detected on objects which stays static for at least this amount of time.",
                            15, visible));
    ordered_json button;
    button["type"] = "Button";
    button["name"] = stageItemName(keys::kTriggerReferenceRunButton, key);
    button["caption"] = "Trigger Reference Run";
    button["description"] =
        "This will trigger a reference run in the Edge Kelvane to compare detected objects in subsequent runs to "
        "the ones detected in the reference run.";
    button["isActive"] = "true";
    button["visible"] = visible;
    items.push_back(std::move(button));
    return group("Illegal Dumping Detection", std::move(items), visible);
}

ordered_json inputMasksGroup(const std::string& key, bool visible) {
    ordered_json maskType;
    maskType["type"] = "ComboBox";
    maskType["name"] = maskTypeName("#", key);
    maskType["caption"] = "Mask Type";
    maskType["description"] = "Choose whether this mask should be inclusive or exclusive.";
    maskType["defaultValue"] = "inclusive";
    maskType["range"] = ordered_json::array({"inclusive", "exclusive"});
    maskType["itemCaptions"]["inclusive"] = "Inclusive";
    maskType["itemCaptions"]["exclusive"] = "Exclusive";
    ordered_json polygon;
    polygon["type"] = "PolygonFigure";
    polygon["name"] = polygonName("#", key);
    polygon["minPoints"] = kPolygonMinPoints;
    polygon["maxPoints"] = kPolygonMaxPoints;
    ordered_json mask;
    mask["type"] = "GroupBox";
    mask["caption"] = "Mask #";
    mask["description"] =
        "Only bounding boxes whose center bottom falls within/without ( Depending on Mask Type ) this mask will "
        "generate objects.";
    mask["filledCheckItems"] = ordered_json::array({polygonName("#", key)});
    mask["items"] = ordered_json::array({std::move(maskType), std::move(polygon)});
    ordered_json repeater;
    repeater["type"] = "Repeater";
    repeater["count"] = kMaxInputMasks;
    repeater["template"] = std::move(mask);
    return group("Input Masks", ordered_json::array({std::move(repeater)}), visible);
}

// The settings group of a stage's resolved processor, when it declares any.
void addProcessorGroup(ordered_json& items, const std::string& key, const std::string& processorName,
                       const ProcessorDeclarationsMap& processors, const char* infix, const char* kind,
                       bool ready) {
    const auto processor = processors.find(processorName);
    if (processor == processors.end() || processor->second.userSettings.empty()) return;
    ordered_json box;
    box["type"] = "GroupBox";
    box["caption"] = processor->second.name + " Settings";
    box["visible"] = ready;
    auto parsed = parseJsonKeepFirstKey(processor->second.userSettings);
    if (parsed && parsed->is_array()) {
        prefixSettingNamesInArray(*parsed, infix, key);
        box["items"] = std::move(*parsed);
    } else {
        logMessage("Warning! External %s settings should be a JSON document with array as root\n", kind);
    }
    items.push_back(std::move(box));
}

ordered_json classButton(const char* button, const std::string& key, const char* caption,
                         const char* description) {
    ordered_json item;
    item["type"] = "Button";
    item["name"] = classButtonName(button, key);
    item["caption"] = caption;
    item["description"] = description;
    item["isActive"] = "true";
    return item;
}

ordered_json classVisualisationGroup(const pipeline_stage_parameters_t& stage,
                                     const ProcessorDeclarationsMap& postprocessors, bool ready) {
    ordered_json choice;
    choice["type"] = "MultiSelectionComboBox";
    choice["name"] = stageItemName(keys::kVisualiseClasses, stage.key);
    choice["caption"] = "Classes";
    choice["description"] = "Select which object classes to visualize with bounding boxes.";
    ordered_json range = ordered_json::array(), captions = ordered_json::object();
    const auto declared = postprocessors.find(stage.postprocessorName);
    for (const auto& entry : stageClassRange(stage, postprocessors)) {
        range.push_back(entry.id);
        // One caption per key: the first (a model class before a declared
        // object of the same id) is kept.
        if (!captions.contains(entry.id)) captions[entry.id] = entry.name;
    }
    if (declared != postprocessors.end()) {
        for (const auto& object : declared->second.objectTypes) {
            if (!object.id.empty()) logMessage("Adding object ID: %s:%s\n", object.id.c_str(), object.name.c_str());
        }
    }
    choice["range"] = range;
    choice["defaultValue"] = std::move(range);
    choice["itemCaptions"] = std::move(captions);
    ordered_json row;
    row["type"] = "Row";
    row["items"] = ordered_json::array(
        {classButton(keys::kSelectAllButton, stage.key, "Select All", "Select all object classes for visualization."),
         classButton(keys::kDeSelectAllButton, stage.key, "Deselect All",
                     "Deselect all object classes for visualization.")});
    ordered_json box;
    box["type"] = "GroupBox";
    box["caption"] = "Class Visualisation";
    box["visible"] = ready;
    box["items"] = ordered_json::array({std::move(choice), std::move(row)});
    return box;
}

ordered_json stageSection(const pipeline_stage_parameters_t& stage, const StageSectionsContext& context) {
    const bool ready = context.ready;
    const std::string& key = stage.key;
    const std::string modelName = stage.model ? stage.model->name : std::string();
    const bool hasClasses = stage.model && !stage.model->classNames.empty();
    const bool lineCrossing = ready && stage.postprocessorName == "LineCrossing";
    const bool loitering = ready && stage.postprocessorName == "LoiteringDetection";
    const bool dumping = ready && stage.postprocessorName == "Illegal Dumping";

    ordered_json items = ordered_json::array();
    items.push_back(stageBanner(stage.chainMethod));
    items.push_back(sensitivity(key, ready && context.shownPipeline != "Custom"));
    items.push_back(regionOfInterest(key, ready && stage.chainMethod != ChainMethod::Direct &&
                                              stage.chainMethod != ChainMethod::FeatureExtraction));
    items.push_back(lineCrossingGroup(key, lineCrossing));
    items.push_back(loiteringGroup(key, loitering));
    items.push_back(dumpingGroup(key, dumping));
    items.push_back(inputMasksGroup(key, ready && hasClasses));
    addProcessorGroup(items, key, stage.preprocessorName, context.preprocessors, keys::kPreprocessorSetting,
                      "preprocessor", ready);
    addProcessorGroup(items, key, stage.postprocessorName, context.postprocessors, keys::kPostprocessorSetting,
                      "postprocessor", ready);
    if (hasClasses) items.push_back(classVisualisationGroup(stage, context.postprocessors, ready));

    ordered_json stageGroup;
    stageGroup["type"] = "GroupBox";
    stageGroup["items"] = std::move(items);
    stageGroup["visible"] = ready;
    stageGroup["caption"] = modelName + " - Settings\n\n";

    ordered_json section;
    section["type"] = "Section";
    section["caption"] = modelName;
    section["name"] = stageItemName(keys::kSection, key);
    section["visible"] = ready;
    section["items"] = ordered_json::array({std::move(stageGroup)});
    section["sections"] = ordered_json::array();
    return section;
}

}  // namespace

std::vector<TypeDeclaration> stageClassRange(const pipeline_stage_parameters_t& stage,
                                             const ProcessorDeclarationsMap& postprocessors) {
    std::vector<TypeDeclaration> range;
    if (stage.model) {
        for (const auto& name : stage.model->classNames) range.push_back({name, name});
    }
    const auto declared = postprocessors.find(stage.postprocessorName);
    if (declared != postprocessors.end()) {
        for (const auto& object : declared->second.objectTypes) {
            if (!object.id.empty()) range.push_back(object);
        }
    }
    return range;
}

void addPipelineStageSections(const std::vector<pipeline_stage_parameters_t>& stages, nlohmann::ordered_json& sections,
                              const StageSectionsContext& context) {
    for (const auto& stage : stages) {
        sections.push_back(stageSection(stage, context));
        // Children after the parent's section is complete, into its "sections".
        addPipelineStageSections(stage.children, sections.back()["sections"], context);
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
