#include "engine/pipeline_parser.h"

#include "common/json_utils.h"
#include "common/log.h"
#include "engine/json_fields.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::json;

void parseLevel(const json& nodes, const std::string& parentKey, uint32_t depth, const ModelMap& models,
                const ProcessorResolver& resolver, std::vector<pipeline_stage_parameters_t>& out,
                size_t& skipped) {
    if (!nodes.is_array()) return;
    const bool isRoot = depth == 0;
    for (const auto& node : nodes) {
        if (depth >= kMaxPipelineDepth) {
            logMessage("Error! Pipeline node nested deeper than %u levels; skipping it.\n", kMaxPipelineDepth);
            ++skipped;
            continue;
        }
        if (!node.is_object()) {
            logMessage("Error! Pipeline node is not an object; skipping it.\n");
            ++skipped;
            continue;
        }
        const std::string modelId = optionalText(node, "modelUUID");
        const auto model = models.find(modelId);
        if (modelId.empty() || model == models.end() || !model->second) {
            logMessage("Error! Pipeline points to unassigned model.\n");
            ++skipped;
            continue;
        }

        pipeline_stage_parameters_t stage;
        stage.key = parentKey + modelId;
        stage.model = model->second;
        stage.chainMethod = isRoot ? ChainMethod::Root : chainMethodFromText(optionalText(node, "method"));
        stage.featureExtractionClass = optionalText(node, "featureExtractionClass");
        if (const auto nms = node.find("modelNMS"); nms != node.end() && nms->is_number()) {
            stage.nmsThreshold = floatFromJson(*nms, "modelNMS", stage.nmsThreshold);
        }
        stage.resizingMethod = resizingMethodFromText(optionalText(node, "resizing"));
        for (const auto& name : model->second->classNames) stage.classVisualisation[name] = true;

        stage.needsFrame = stage.chainMethod == ChainMethod::FeatureExtraction ||
                           stage.chainMethod == ChainMethod::Conditional;
        stage.preprocessorName = optionalText(node, "Preprocessor");
        stage.postprocessorName = optionalText(node, "Postprocessor");
        stage.dumpingEnabled = stage.postprocessorName == "Illegal Dumping";
        if (!stage.preprocessorName.empty() && resolver.preprocessor) {
            bool needsFrame = false;
            stage.preprocessor = resolver.preprocessor(stage.preprocessorName, &needsFrame);
            stage.needsFrame = stage.needsFrame || (stage.preprocessor && needsFrame);
        }
        if (!stage.postprocessorName.empty() && resolver.postprocessor) {
            bool needsFrame = false;
            stage.postprocessor = resolver.postprocessor(stage.postprocessorName, &needsFrame);
            stage.needsFrame = stage.needsFrame || (stage.postprocessor && needsFrame);
        }

        if (const auto children = node.find("children"); children != node.end()) {
            parseLevel(*children, stage.key, depth + 1, models, resolver, stage.children, skipped);
        }
        for (const auto& child : stage.children) stage.needsFrame = stage.needsFrame || child.needsFrame;
        out.push_back(std::move(stage));
    }
}

}  // namespace

ChainMethod chainMethodFromText(const std::string& text) {
    if (text == "FeatureExtraction") return ChainMethod::FeatureExtraction;
    if (text == "Conditional") return ChainMethod::Conditional;
    return ChainMethod::Direct;
}

ResizingMethod resizingMethodFromText(const std::string& text) {
    if (text == "Crop") return ResizingMethod::Crop;
    if (text == "Stretch") return ResizingMethod::Stretch;
    return ResizingMethod::Fit;
}

PipelineParseResult parsePipelineNodes(const json& nodes, const ModelMap& models, const ProcessorResolver& resolver) {
    PipelineParseResult result;
    if (!nodes.is_null() && !nodes.is_array()) {
        result.error = "its \"nodes\" are not a JSON array";
        return result;
    }
    parseLevel(nodes, std::string(), 0, models, resolver, result.stages, result.skippedNodes);
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
