// The external processors the user configures, and their loaders.
//
// Two JSON files below the plug-in's data folder describe them:
// "postprocessors/external_postprocessors.json" and
// "preprocessors/external_preprocessors.json", each a root array of objects.
// Every loader is split in two: a parse half (text -> entries, no process
// started; logs what it skips; processor_entries.cpp) and a start half that opens each entry's
// connection (a child over shared memory, or a TCP peer on 127.0.0.1 when
// "Port" holds an integer), starts its receive thread unless it sends no
// response, and moves it into the map. Failures are logged and leave out only
// the entry concerned; nothing is thrown.
//
// A record owns its process, its waiters and its receive thread; records sit
// in the maps through shared_ptr, so stages may keep plain pointers to them.
// Destroying a record stops and joins the receive thread, then destroys the
// waiters, then the process (exit request, wait, kill). After loading, no
// field changes; records are read concurrently by the exchange workers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "records/external_processor_maps.h"
#include "external/external_process.h"
#include "external/response_waiters.h"

namespace qz::vms_server_plugins::analytics::qzai {

class FrameBufferPool;
// An object or event type a post-processor declares.
struct ProcessorTypeDeclaration_t {
    std::string id;
    std::string name;
};

enum class PostprocessorSchedule : int32_t { Tensor = 0, Objects = 1 };
enum class PreprocessorSchedule : int32_t { Image = 0, Tensor = 1 };

inline constexpr uint64_t kDefaultProcessorTimeoutMs = 1000;

// What a post-processor entry of the file says.
struct ExternalPostprocessorConfig {
    std::string name;
    std::string command;  // empty for a TCP peer
    uint32_t port = 0;    // set only for a TCP peer
    bool receiveInputImage = false;
    bool noResponse = false;
    bool receiveBinaryData = false;
    std::vector<ProcessorTypeDeclaration_t> objectTypes;
    std::vector<ProcessorTypeDeclaration_t> eventTypes;
    std::string userSettings;  // the "UserSettings" array as compact JSON; empty when absent
    PostprocessorSchedule schedule = PostprocessorSchedule::Objects;
    std::string logFilePath;
    uint64_t timeoutMs = kDefaultProcessorTimeoutMs;
};

struct ExternalPostprocessor_t : ExternalPostprocessorConfig {
    std::unique_ptr<ExternalProcess> process;
    std::unique_ptr<ProcessorResponseWaiters> responseWaiters;
    std::jthread receiveThread;

    ExternalPostprocessor_t();
    ExternalPostprocessor_t(ExternalPostprocessor_t&&) noexcept = default;
    ~ExternalPostprocessor_t();
};

// What a pre-processor entry of the file says.
struct ExternalPreprocessorConfig {
    std::string name;
    std::string command;
    uint32_t port = 0;
    bool noResponse = false;
    std::string userSettings;
    PreprocessorSchedule schedule = PreprocessorSchedule::Image;
    std::string logFilePath;
    uint64_t timeoutMs = kDefaultProcessorTimeoutMs;
};

struct ExternalPreprocessor_t : ExternalPreprocessorConfig {
    std::unique_ptr<ExternalProcess> process;
    std::unique_ptr<ProcessorResponseWaiters> responseWaiters;
    std::jthread receiveThread;
    // The buffers of the frames an image pre-processor answers: each answer
    // takes an idle one of its size and gives it back when the frame goes,
    // so a steady stream of answers maps no fresh memory.
    std::shared_ptr<FrameBufferPool> answerBuffers;

    ExternalPreprocessor_t();
    ExternalPreprocessor_t(ExternalPreprocessor_t&&) noexcept = default;
    ~ExternalPreprocessor_t();
};

// One parsed entry: what the file says and the program arguments.
template <class Config>
struct ProcessorEntry {
    Config config;
    std::vector<std::string> arguments;
};
using PostprocessorEntry = ProcessorEntry<ExternalPostprocessorConfig>;
using PreprocessorEntry = ProcessorEntry<ExternalPreprocessorConfig>;

// Parse halves: `path` only names the file in the log lines. Nothing when the
// text is not JSON or its root is not an array.
std::optional<std::vector<PostprocessorEntry>> parseExternalPostprocessors(std::string_view text,
                                                                           const std::string& path);
std::optional<std::vector<PreprocessorEntry>> parseExternalPreprocessors(std::string_view text,
                                                                         const std::string& path);

// Start halves: an entry whose name is already in the map is left out with a
// warning before anything starts (the first of a name counts).
void startExternalPostprocessors(std::vector<PostprocessorEntry> entries, ExternalPostprocessorMap& map);
void startExternalPreprocessors(std::vector<PreprocessorEntry> entries, ExternalPreprocessorMap& map);

// Reads the post-processor file below rootFolder into the map.
void loadExternalPostprocessors(ExternalPostprocessorMap& map, const std::string& rootFolder);
void loadExternalPreprocessors(ExternalPreprocessorMap& map, const std::string& rootFolder);

}  // namespace qz::vms_server_plugins::analytics::qzai
