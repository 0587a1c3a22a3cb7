#include "external/processor_config.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "common/json_utils.h"
#include "common/log.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using Json = nlohmann::ordered_json;

// The texts of one kind of processor.
struct Kind {
    const char* folder;
    const char* file;
    const char* notFound;
    const char* openFailed;
    const char* parseFailed;
    const char* rootNotArray;
    const char* nonObject;
    const char* missingName;
    const char* noCommandOrPort;
    const char* portOutOfRange;
    const char* duplicateName;
    const char* startFailed;
    const char* initialized;
};

const Kind kPostprocessors{
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

const Kind kPreprocessors{
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
template <class Record>
bool readCommon(const Json& item, const Kind& kind, Record& record) {
    const Json* name = member(item, "Name");
    if (!name || !name->is_string()) {
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

template <class Record, class ReadRest>
std::optional<std::vector<ProcessorEntry<Record>>> parseEntries(std::string_view text, const std::string& path, const Kind& kind,
                                                 ReadRest readRest) {
    std::vector<ProcessorEntry<Record>> entries;
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
        ProcessorEntry<Record> entry{std::make_shared<Record>(), {}};
        if (!readCommon(item, kind, *entry.record)) continue;
        readRest(item, entry);
        entry.arguments.push_back("--ProcessorName");
        entry.arguments.push_back(entry.record->name);
        entries.push_back(std::move(entry));
    }
    return entries;
}

template <class Record>
bool openConnection(ProcessorEntry<Record>& entry, const Kind& kind) {
    Record& record = *entry.record;
    record.process = record.command.empty()
                         ? ExternalProcess::createTcp(static_cast<uint16_t>(record.port))
                         : ExternalProcess::create(record.command, record.logFilePath, entry.arguments, {});
    if (!record.process) {
        logMessage(kind.startFailed, record.name.c_str());
        return false;
    }
    return true;
}

template <class Record>
void startReceiving(Record& record) {
    if (record.noResponse) return;
    record.receiveThread = std::jthread(processorReceiveLoop, record.process.get(), record.responseWaiters.get(),
                                        static_cast<uint32_t>(record.timeoutMs), record.name);
}

// The file's text, or nothing after logging why not.
std::optional<std::string> readConfiguration(const std::string& rootFolder, const Kind& kind, std::string* pathOut) {
    const std::string path = (std::filesystem::path(rootFolder) / kind.folder / kind.file).string();
    *pathOut = path;
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    if (error) {
        logMessage(kind.openFailed, path.c_str());
        return std::nullopt;
    }
    if (!exists) {
        logInfo(kind.notFound, path.c_str());
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    if (file) text << file.rdbuf();
    if (!file || file.bad()) {
        logMessage(kind.openFailed, path.c_str());
        return std::nullopt;
    }
    return text.str();
}

}  // namespace

ExternalPostprocessor_t::ExternalPostprocessor_t() : responseWaiters(std::make_unique<ProcessorResponseWaiters>()) {}

ExternalPostprocessor_t::~ExternalPostprocessor_t() {
    if (receiveThread.joinable()) {
        receiveThread.request_stop();
        receiveThread.join();
    }
    responseWaiters.reset();
    process.reset();
}

ExternalPreprocessor_t::ExternalPreprocessor_t() : responseWaiters(std::make_unique<ProcessorResponseWaiters>()) {}

ExternalPreprocessor_t::~ExternalPreprocessor_t() {
    if (receiveThread.joinable()) {
        receiveThread.request_stop();
        receiveThread.join();
    }
    responseWaiters.reset();
    process.reset();
}

std::optional<std::vector<PostprocessorEntry>> parseExternalPostprocessors(std::string_view text, const std::string& path) {
    return parseEntries<ExternalPostprocessor_t>(text, path, kPostprocessors, [](const Json& item, auto& entry) {
        ExternalPostprocessor_t& record = *entry.record;
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
    return parseEntries<ExternalPreprocessor_t>(text, path, kPreprocessors, [](const Json& item, auto& entry) {
        entry.record->schedule =
            stringOr(item, "Schedule") == "TENSOR" ? PreprocessorSchedule::Tensor : PreprocessorSchedule::Image;
    });
}

void startExternalPostprocessors(std::vector<PostprocessorEntry> entries, ExternalPostprocessorMap& map) {
    for (PostprocessorEntry& entry : entries) {
        ExternalPostprocessor_t& record = *entry.record;
        // The first entry of a name counts; a later one is never started.
        if (map.count(record.name) != 0) {
            logMessage(kPostprocessors.duplicateName, record.name.c_str());
            continue;
        }
        if (!openConnection(entry, kPostprocessors)) continue;
        logInfo("Loaded and started external postprocessor: %s (%zu objects, %zu events, command: %s)\n",
                record.name.c_str(), record.objectTypes.size(), record.eventTypes.size(), record.command.c_str());
        startReceiving(record);
        map.emplace(record.name, entry.record);
    }
    logInfo(kPostprocessors.initialized, map.size());
}

void startExternalPreprocessors(std::vector<PreprocessorEntry> entries, ExternalPreprocessorMap& map) {
    for (PreprocessorEntry& entry : entries) {
        ExternalPreprocessor_t& record = *entry.record;
        if (map.count(record.name) != 0) {
            logMessage(kPreprocessors.duplicateName, record.name.c_str());
            continue;
        }
        if (!openConnection(entry, kPreprocessors)) continue;
        startReceiving(record);
        map.emplace(record.name, entry.record);
        logInfo("Loaded and started external preprocessor: %s (command: %s)\n", record.name.c_str(),
                record.command.c_str());
    }
    logInfo(kPreprocessors.initialized, map.size());
}

void loadExternalPostprocessors(PostprocessingState& state) {
    std::string path;
    const std::optional<std::string> text = readConfiguration(state.rootFolder, kPostprocessors, &path);
    if (!text) return;
    auto entries = parseExternalPostprocessors(*text, path);
    if (entries) startExternalPostprocessors(std::move(*entries), state.externalPostprocessors);
}

void initExternalPostprocessors(PostprocessingState& state) {
    loadExternalPostprocessors(state);
    loadDumpingCache(state);
}

void loadExternalPreprocessors(ExternalPreprocessorMap& map, const std::string& rootFolder) {
    std::string path;
    const std::optional<std::string> text = readConfiguration(rootFolder, kPreprocessors, &path);
    if (!text) return;
    auto entries = parseExternalPreprocessors(*text, path);
    if (entries) startExternalPreprocessors(std::move(*entries), map);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
