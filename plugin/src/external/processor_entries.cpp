#include "external/processor_entries.h"

#include <limits>

#include "common/json_utils.h"
#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

const ProcessorKindTexts kPostprocessorTexts{
    "postprocessors",
    "external_postprocessors.json",
    "Notice: No external postprocessors configuration found at %s\n",
    "Error: Failed to open external postprocessors configuration file: %s\n",
    "Error: Failed to parse external postprocessors JSON file: %s\n",
    "Error: External postprocessors JSON root must be an array\n",
    "Warning: Skipping non-object entry in external postprocessors array\n",
    "Warning: Skipping postprocessor with missing required fields (Name)\n",
    "Warning: Skipping postprocessor. Either 'Command' or 'Port' needs to be defined.\n",
    "Warning: Skipping postprocessor %s: Port %lld is out of range.\n",
    "Warning: Skipping postprocessor with duplicate name: %s\n",
    "Error: Failed to start external postprocessor %s\n",
    "Initialized %zu external postprocessors\n",
};

const ProcessorKindTexts kPreprocessorTexts{
    "preprocessors",
    "external_preprocessors.json",
    "Notice: No external preprocessors configuration found at %s\n",
    "Error: Failed to open external preprocessors configuration file: %s\n",
    "Error: Failed to parse external preprocessors JSON file: %s\n",
    "Error: External preprocessors JSON root must be an array\n",
    "Warning: Skipping non-object entry in external preprocessors array\n",
    "Warning: Skipping preprocessor with missing required fields (Name)\n",
    "Warning: Skipping preprocessor. Either 'Command' or 'Port' needs to be defined.\n",
    "Warning: Skipping preprocessor %s: Port %lld is out of range.\n",
    "Warning: Skipping preprocessor with duplicate name: %s\n",
    "Error: Failed to start external preprocessor %s\n",
    "Initialized %zu external preprocessors\n",
};


namespace {

using Json = nlohmann::ordered_json;

const Json* member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string stringOr(const Json& object, const char* key, std::string fallback = {}) {
    const Json* value = member(object, key);
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

bool boolOr(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value && value->is_boolean() && value->get<bool>();
}

std::vector<ProcessorTypeDeclaration_t> typesOf(const Json& object, const char* key) {
    std::vector<ProcessorTypeDeclaration_t> types;
    const Json* list = member(object, key);
    if (!list || !list->is_array()) return types;
    for (const Json& item : *list) {
        if (!item.is_object()) continue;
        types.push_back({stringOr(item, "ID"), stringOr(item, "Name")});
    }
    return types;
}

// The fields both kinds share. False when the entry is left out.
template <class Config>
bool readCommon(const Json& item, const ProcessorKindTexts& kind, Config& record) {
    // An empty name could never be chosen by a pipeline node.
    const Json* name = member(item, "Name");
    if (!name || !name->is_string() || name->get_ref<const std::string&>().empty()) {
        logMessage("%s", kind.missingName);
        return false;
    }
    record.name = name->get<std::string>();
    const Json* command = member(item, "Command");
    const Json* port = member(item, "Port");
    const bool hasPort = port && port->is_number_integer();
    if (!hasPort && !(command && command->is_string())) {
        logMessage("%s", kind.noCommandOrPort);
        return false;
    }
    if (hasPort) {
        const long long value = port->is_number_unsigned() && port->get<uint64_t>() > uint64_t{INT64_MAX}
                                    ? std::numeric_limits<long long>::max()
                                    : port->get<long long>();
        if (value < 1 || value > 65535) {
            logMessage(kind.portOutOfRange, record.name.c_str(), value);
            return false;
        }
        record.port = static_cast<uint32_t>(value);
    } else {
        record.command = command->get<std::string>();
    }
    record.noResponse = boolOr(item, "NoResponse");
    record.logFilePath = stringOr(item, "LogFilepath");
    const Json* settings = member(item, "UserSettings");
    if (settings && settings->is_array()) {
        record.userSettings = settings->dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    const Json* timeout = member(item, "TimeoutMs");
    if (timeout && timeout->is_number_unsigned()) {
        const uint64_t value = timeout->get<uint64_t>();
        if (value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            logMessage("Warning: TimeoutMs of processor %s is out of range; using 1000.\n", record.name.c_str());
        } else {
            record.timeoutMs = value;
        }
    }
    return true;
}

template <class Config, class ReadRest>
std::optional<std::vector<ProcessorEntry<Config>>> parseEntries(std::string_view text, const std::string& path, const ProcessorKindTexts& kind,
                                                 ReadRest readRest) {
    std::vector<ProcessorEntry<Config>> entries;
    const std::optional<Json> root = parseJsonKeepFirstKey(text);
    if (!root) {
        logMessage(kind.parseFailed, path.c_str());
        return std::nullopt;
    }
    if (!root->is_array()) {
        logMessage("%s", kind.rootNotArray);
        return std::nullopt;
    }
    for (const Json& item : *root) {
        if (!item.is_object()) {
            logMessage("%s", kind.nonObject);
            continue;
        }
        ProcessorEntry<Config> entry;
        if (!readCommon(item, kind, entry.config)) continue;
        readRest(item, entry);
        entry.arguments.push_back("--ProcessorName");
        entry.arguments.push_back(entry.config.name);
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

std::optional<std::vector<PostprocessorEntry>> parseExternalPostprocessors(std::string_view text, const std::string& path) {
    return parseEntries<ExternalPostprocessorConfig>(text, path, kPostprocessorTexts, [](const Json& item, auto& entry) {
        ExternalPostprocessorConfig& record = entry.config;
        record.receiveInputImage = boolOr(item, "ReceiveInputImage");
        record.receiveBinaryData = boolOr(item, "ReceiveBinaryData");
        record.objectTypes = typesOf(item, "Objects");
        record.eventTypes = typesOf(item, "Events");
        record.schedule = stringOr(item, "Schedule") == "TENSOR" ? PostprocessorSchedule::Tensor
                                                                 : PostprocessorSchedule::Objects;
        const Json* config = member(item, "Config");
        if (config && config->is_object()) {
            for (const auto& [key, value] : config->items()) {
                if (!value.is_string()) {
                    logMessage("Warning! Received non-string config argument for postprocessor: %s\n",
                               record.name.c_str());
                    continue;
                }
                entry.arguments.push_back("--" + key);
                entry.arguments.push_back(value.template get<std::string>());
            }
        }
    });
}

std::optional<std::vector<PreprocessorEntry>> parseExternalPreprocessors(std::string_view text, const std::string& path) {
    return parseEntries<ExternalPreprocessorConfig>(text, path, kPreprocessorTexts, [](const Json& item, auto& entry) {
        entry.config.schedule =
            stringOr(item, "Schedule") == "TENSOR" ? PreprocessorSchedule::Tensor : PreprocessorSchedule::Image;
    });
}

}  // namespace qz::vms_server_plugins::analytics::qzai
