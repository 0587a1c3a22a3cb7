#include "external/processor_config.h"
#include "external/processor_entries.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "common/json_utils.h"
#include "common/log.h"
#include "common/frame_buffer_pool.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using Json = nlohmann::ordered_json;

// Idle answer buffers an image pre-processor keeps (about 25 MB each at
// 1080p): enough for the answers that workers still preprocess while the
// next frames are exchanged.
constexpr size_t kIdleAnswerBuffers = 4;

template <class Record, class Config>
bool openConnection(Record& record, const ProcessorEntry<Config>& entry, const ProcessorKindTexts& kind) {
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
std::optional<std::string> readConfiguration(const std::string& rootFolder, const ProcessorKindTexts& kind, std::string* pathOut) {
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

ExternalPreprocessor_t::ExternalPreprocessor_t()
    : responseWaiters(std::make_unique<ProcessorResponseWaiters>()),
      answerBuffers(std::make_shared<FrameBufferPool>(kIdleAnswerBuffers)) {}

ExternalPreprocessor_t::~ExternalPreprocessor_t() {
    if (receiveThread.joinable()) {
        receiveThread.request_stop();
        receiveThread.join();
    }
    responseWaiters.reset();
    process.reset();
}

void startExternalPostprocessors(std::vector<PostprocessorEntry> entries, ExternalPostprocessorMap& map) {
    for (PostprocessorEntry& entry : entries) {
        auto shared = std::make_shared<ExternalPostprocessor_t>();
        ExternalPostprocessor_t& record = *shared;
        static_cast<ExternalPostprocessorConfig&>(record) = std::move(entry.config);
        // The first entry of a name counts; a later one is never started.
        if (map.count(record.name) != 0) {
            logMessage(kPostprocessorTexts.duplicateName, record.name.c_str());
            continue;
        }
        if (!openConnection(record, entry, kPostprocessorTexts)) continue;
        logInfo("Loaded and started external postprocessor: %s (%zu objects, %zu events, command: %s)\n",
                record.name.c_str(), record.objectTypes.size(), record.eventTypes.size(), record.command.c_str());
        startReceiving(record);
        map.emplace(record.name, std::move(shared));
    }
    logInfo(kPostprocessorTexts.initialized, map.size());
}

void startExternalPreprocessors(std::vector<PreprocessorEntry> entries, ExternalPreprocessorMap& map) {
    for (PreprocessorEntry& entry : entries) {
        auto shared = std::make_shared<ExternalPreprocessor_t>();
        ExternalPreprocessor_t& record = *shared;
        static_cast<ExternalPreprocessorConfig&>(record) = std::move(entry.config);
        if (map.count(record.name) != 0) {
            logMessage(kPreprocessorTexts.duplicateName, record.name.c_str());
            continue;
        }
        if (!openConnection(record, entry, kPreprocessorTexts)) continue;
        startReceiving(record);
        map.emplace(record.name, std::move(shared));
        logInfo("Loaded and started external preprocessor: %s (command: %s)\n", record.name.c_str(),
                record.command.c_str());
    }
    logInfo(kPreprocessorTexts.initialized, map.size());
}

void loadExternalPostprocessors(ExternalPostprocessorMap& map, const std::string& rootFolder) {
    std::string path;
    const std::optional<std::string> text = readConfiguration(rootFolder, kPostprocessorTexts, &path);
    if (!text) return;
    auto entries = parseExternalPostprocessors(*text, path);
    if (entries) startExternalPostprocessors(std::move(*entries), map);
}

void loadExternalPreprocessors(ExternalPreprocessorMap& map, const std::string& rootFolder) {
    std::string path;
    const std::optional<std::string> text = readConfiguration(rootFolder, kPreprocessorTexts, &path);
    if (!text) return;
    auto entries = parseExternalPreprocessors(*text, path);
    if (entries) startExternalPreprocessors(std::move(*entries), map);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
