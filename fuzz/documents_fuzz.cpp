// libFuzzer target: the documents the engine reads from outside, parsed and
// applied as the engine does. The first byte picks the document:
//   0  a device document from the host's device list ("parameters" ->
//      "qzAI" with its pipeline, objects or texts), then its pipeline's
//      models, stages and the camera settings on top;
//   1  the cloud's list of available pipelines, each applied like a device's;
//   2  one model description;
//   3  a host REST document the plug-in updates its state in: the merge
//      patch is built, applied, and must read back as the update made it.
// Bytes after the first '\x01' are settings values, one per line, given to
// every stage under each per-stage setting name.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_utils.h"
#include "engine/model_details_parser.h"
#include "engine/pipeline_parser.h"
#include "engine/qzai_state.h"
#include "engine/registration_manager.h"
#include "engine/settings_applier.h"
#include "records/setting_keys.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using nlohmann::json;

namespace {

const char* const kStageSettings[] = {
    qzai::setting_keys::kCropBox,          qzai::setting_keys::kModelNms,
    qzai::setting_keys::kVisualiseClasses, qzai::setting_keys::kLineCrossingLine,
    qzai::setting_keys::kLoiterDetectionTimeThreshold, qzai::setting_keys::kDumpingDetectionTimeThreshold,
};

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        out.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return out;
}

// The models, stages and settings of one pipeline (object or text).
void applyPipeline(json pipeline, const std::vector<std::string>& values) {
    if (pipeline.is_string()) pipeline = qzai::parseOutsideJson(pipeline.get<std::string>(), "pipeline");
    if (!pipeline.is_object()) return;
    qzai::ModelMap models;
    if (const auto listed = pipeline.find("models"); listed != pipeline.end() && listed->is_array()) {
        for (const auto& description : *listed) {
            try {
                auto model = qzai::parseModelDetails(description);
                models[model->id] = model;
            } catch (const qzai::JsonFieldError&) {
                // a malformed description is skipped, as the engine does
            }
        }
    }
    const json nodes = pipeline.value("nodes", json::array());
    auto parsed = qzai::parsePipelineNodes(nodes, models, {});
    qzai::DeviceAgentSettings_t base;
    base.stages = std::move(parsed.stages);
    qzai::SettingsMap settings;
    size_t next = 0;
    for (const auto* stage : qzai::flattenPipelineStages(base.stages)) {
        for (const char* name : kStageSettings) {
            if (values.empty()) break;
            settings[name + stage->key] = values[next++ % values.size()];
        }
    }
    qzai::applyDeviceSettings(base, settings);
}

void deviceDocument(std::string_view text, const std::vector<std::string>& values) {
    // The device list is read at any depth; each device is held to the limit.
    const json device = qzai::parseOutsideJson(text, "device", std::numeric_limits<size_t>::max());
    if (device.is_discarded()) return;
    std::string error;
    const auto qzAI = qzai::readQzAiParameters(device, &error);
    if (!qzAI) return;
    (void)qzAI->dump();  // the agent compares parameters by their text
    if (const auto pipeline = qzAI->find("pipeline"); pipeline != qzAI->end()) applyPipeline(*pipeline, values);
}

void cloudPipelines(std::string_view text, const std::vector<std::string>& values) {
    const auto pipelines = qzai::parseAvailablePipelines(std::string(text));
    if (!pipelines) return;
    for (const auto& pipeline : *pipelines) applyPipeline(json(pipeline.parameters), values);
}

void modelDescription(std::string_view text) {
    const json description = qzai::parseOutsideJson(text, "model");
    if (description.is_discarded()) return;
    try {
        qzai::parseModelDetails(description);
    } catch (const qzai::JsonFieldError&) {
    }
}

void restState(std::string_view text) {
    json document = qzai::parseOutsideJson(text, "REST document");
    if (!document.is_object()) return;
    const auto update = [](json& qzAI) {
        qzAI["PluginEnabled"] = true;
        qzAI["runtimeInformation"] = {{"runtime", "r"}, {"mimeType", "m"}};
    };
    std::string error;
    const auto patch = qzai::qzAiMergePatch(document, update, &error);
    if (!patch) return;
    document.merge_patch(*patch);
    const auto readBack = qzai::readQzAiParameters(document, &error);
    if (!readBack || readBack->value("PluginEnabled", false) != true) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> values;
    if (const size_t split = input.find('\x01'); split != std::string_view::npos) {
        values = lines(input.substr(split + 1));
        input = input.substr(0, split);
    }
    switch (data[0] % 4) {
        case 0: deviceDocument(input, values); break;
        case 1: cloudPipelines(input, values); break;
        case 2: modelDescription(input); break;
        default: restState(input); break;
    }
    return 0;
}
