#include "settings/pipeline_description.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

const char* linkLabel(ChainMethod method) {
    switch (method) {
        case ChainMethod::Direct: return "Direct";
        case ChainMethod::FeatureExtraction: return "Feature Extraction";
        case ChainMethod::Conditional: return "Conditional";
        default: return "Unknown";
    }
}

void appendProcessorLine(std::string& text, const std::string& indent, const char* label,
                         const std::string& nodeName, const ProcessorDeclarationsMap& configured) {
    const auto it = configured.find(nodeName);
    const std::string& name = it != configured.end() ? it->second.name : nodeName;
    if (name.empty()) return;
    text += indent;
    text += label;
    text += name;
    text += '\n';
}

}  // namespace

void appendPipelineDescription(const std::vector<pipeline_stage_parameters_t>& stages, std::string& text,
                               uint32_t depth, const ProcessorDeclarationsMap& preprocessors,
                               const ProcessorDeclarationsMap& postprocessors) {
    const std::string indent(static_cast<size_t>(depth) * 4, ' ');
    for (const auto& stage : stages) {
        if (depth == 0) text += '\n';
        if (stage.chainMethod != ChainMethod::Root) {
            text += indent;
            text += "-> ";
            text += linkLabel(stage.chainMethod);
            text += ":\n";
        }
        text += indent;
        text += "Model: ";
        if (stage.model) text += stage.model->name;
        text += '\n';
        appendProcessorLine(text, indent, "Pre-processor: ", stage.preprocessorName, preprocessors);
        appendProcessorLine(text, indent, "Post-processor: ", stage.postprocessorName, postprocessors);
        if (!stage.children.empty()) {
            appendPipelineDescription(stage.children, text, depth + 1, preprocessors, postprocessors);
        }
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
