// The device-agent manifest: the event and object types one camera's
// pipeline can produce, for the host's type library.
#include <algorithm>
#include <new>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "common/log.h"
#include "common/object_type_id.h"
#include "records/setting_keys.h"
#include "settings/settings_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::ordered_json;

constexpr const char* kDumpingPostprocessor = "Illegal Dumping";
constexpr const char* kAnomalyClass = "anomaly";

void addSupportedType(ordered_json& supportedTypes, const char* key, const std::string& id) {
    ordered_json entry;
    entry[key] = id;
    entry["attributes"] = ordered_json::array();
    supportedTypes.push_back(std::move(entry));
}

// Every distinct non-empty post-processor name of the stages, in first
// appearance order.
std::vector<std::string> usedPostprocessors(const std::vector<const pipeline_stage_parameters_t*>& stages) {
    std::vector<std::string> used;
    for (const auto* stage : stages) {
        const std::string& name = stage->postprocessorName;
        if (!name.empty() && std::find(used.begin(), used.end(), name) == used.end()) used.push_back(name);
    }
    return used;
}

std::string buildManifest(const DeviceAgentSettings_t& settings, const ProcessorDeclarationsMap& postprocessors) {
    static const std::pair<const char*, const char*> kEvents[] = {
        {event_types::kFps, "Frames per second"},
        {event_types::kCounted, "Objects counted"},
        {event_types::kLoiterAlarm, "Loiterer detected"},
        {event_types::kCategory, "Category detected"},
        {event_types::kLineCrossing, "Line crossing detected"},
        {event_types::kDumping, "Illegal dumping detected"},
    };
    const auto stages = flattenPipelineStages(settings.stages);
    const std::vector<std::string> used = usedPostprocessors(stages);
    std::vector<const ProcessorDeclarations*> contributing;  // in the map's name order
    for (const auto& [name, declarations] : postprocessors) {
        if (std::find(used.begin(), used.end(), name) != used.end()) contributing.push_back(&declarations);
    }

    ordered_json eventTypes = ordered_json::array(), objectTypes = ordered_json::array();
    ordered_json supportedTypes = ordered_json::array();
    for (const auto& [id, name] : kEvents) {
        eventTypes.push_back(ordered_json{{"id", id}, {"name", name}});
        addSupportedType(supportedTypes, "eventTypeId", id);
    }
    std::set<std::string> acceptedEvents;
    for (const auto* processor : contributing) {
        for (const auto& event : processor->eventTypes) {
            if (event.id.empty()) {
                logMessage("Warning! External postprocessor \"%s\" declares an empty %s id. Skipping it.\n",
                           processor->name.c_str(), "event");
                continue;
            }
            if (!acceptedEvents.insert(event.id).second) {
                logMessage("Warning! External postprocessor \"%s\" declares event id \"%s\" which is already in use "
                           "by another assigned postprocessor. Skipping duplicate.\n",
                           processor->name.c_str(), event.id.c_str());
                continue;
            }
            eventTypes.push_back(ordered_json{{"id", event.id}, {"name", event.name}});
            addSupportedType(supportedTypes, "eventTypeId", event.id);
        }
    }

    std::set<std::string> acceptedObjects;
    // False when the id was accepted before.
    auto acceptObject = [&](const std::string& id, const std::string& name) {
        if (!acceptedObjects.insert(id).second) return false;
        if (!isBaseObjectTypeId(id)) objectTypes.push_back(ordered_json{{"id", id}, {"name", name}});
        addSupportedType(supportedTypes, "objectTypeId", id);
        return true;
    };
    for (const auto& [modelId, model] : collectPipelineModels(settings.stages)) {
        for (const auto& className : model->classNames) acceptObject(toObjectTypeId(className), className);
    }
    const bool dumping = std::any_of(stages.begin(), stages.end(), [](const pipeline_stage_parameters_t* stage) {
        return stage->postprocessorName == kDumpingPostprocessor;
    });
    if (dumping) acceptObject(toObjectTypeId(kAnomalyClass), kAnomalyClass);
    for (const auto* processor : contributing) {
        for (const auto& object : processor->objectTypes) {
            if (object.id.empty()) {
                logMessage("Warning! External postprocessor \"%s\" declares an empty %s id. Skipping it.\n",
                           processor->name.c_str(), "object");
                continue;
            }
            if (!acceptObject(toObjectTypeId(object.id), object.name)) {
                logMessage("Warning! External postprocessor \"%s\" declares object id \"%s\" which is already in use "
                           "by another assigned postprocessor or model. Skipping duplicate.\n",
                           processor->name.c_str(), object.id.c_str());
            }
        }
    }

    ordered_json manifest;
    manifest["typeLibrary"]["eventTypes"] = std::move(eventTypes);
    manifest["typeLibrary"]["objectTypes"] = std::move(objectTypes);
    manifest["supportedTypes"] = std::move(supportedTypes);
    return jsonDocToString(std::move(manifest));
}

}  // namespace

std::string SettingsManager::createDeviceAgentManifestString(const DeviceAgentSettings_t& settings,
                                                             const ProcessorDeclarationsMap& postprocessors) {
    std::string text;
    try {
        text = buildManifest(settings, postprocessors);
    } catch (const std::bad_alloc& error) {
        logMessage("Error creating device agent manifest: %s\n", error.what());
        return "{}";
    }
    logInfo("Device Agent Manifest: %s\n", text.c_str());
    return text;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
