// The camera pipeline parser: a pipeline document's "nodes" (layout in
// docs/formats.md) become a tree of pipeline_stage_parameters_t.
//
// Keys: a stage's key is its parent's key followed directly by the node's
// "modelUUID" (a root's key is its model id). A node whose model is not among
// the pipeline's models is skipped with its subtree after the log line
// "Error! Pipeline points to unassigned model.\n". `needsFrame` is set for
// FeatureExtraction and Conditional links, for processors that want the frame,
// and is carried up from any child. Nodes below kMaxPipelineDepth levels are
// malformed (a real pipeline has two or three levels; the settings pages and
// the JSON writer recurse per level): each is skipped with its subtree and
// one log line.
//
// A pipeline whose "nodes" are not an array is refused whole: no stages and
// `error` set.
//
// Plain functions; they read only their arguments and never throw for a
// malformed node (it is logged and skipped).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "records/model_details.h"
#include "records/pipeline_stage.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Finds the configured external processors of a node by name. Each function
// returns the record (null when no processor of that name is configured) and
// sets *needsFrame when that processor must see the camera frame.
struct ProcessorResolver {
    std::function<ExternalPreprocessor_t*(const std::string& name, bool* needsFrame)> preprocessor;
    std::function<ExternalPostprocessor_t*(const std::string& name, bool* needsFrame)> postprocessor;
};

// Levels of stages kept; a node at this depth (0 = root) is skipped.
inline constexpr uint32_t kMaxPipelineDepth = 32;

struct PipelineParseResult {
    std::vector<pipeline_stage_parameters_t> stages;
    size_t skippedNodes = 0;  // nodes left out (unassigned model or malformed)
    std::string error;        // why the whole pipeline was refused; empty when it was read
};

// `models` holds the pipeline's models by id (already resolved to the
// engine-wide records).
PipelineParseResult parsePipelineNodes(const nlohmann::json& nodes, const ModelMap& models,
                                       const ProcessorResolver& resolver);

ChainMethod chainMethodFromText(const std::string& text);
ResizingMethod resizingMethodFromText(const std::string& text);

}  // namespace qz::vms_server_plugins::analytics::qzai
