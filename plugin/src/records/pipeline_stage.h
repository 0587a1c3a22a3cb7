// The stages of a camera's pipeline: one node per model, its chaining,
// resizing, masks, rules and external processors, and its children.
//
// Plain data; a stage tree is immutable once published inside a settings
// snapshot (records/device_agent_settings.h), so it is read without locks. The
// models are shared; the external processors are not owned (the maps of
// records/external_processor_maps.h own them and outlive the stages).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "records/model_details.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct ExternalPreprocessor_t;
struct ExternalPostprocessor_t;

enum class ChainMethod : uint32_t {
    Root = 0,
    Direct = 1,
    FeatureExtraction = 2,
    Conditional = 3,
};

enum class ResizingMethod : int32_t {
    Crop = 0,
    Stretch = 1,
    Fit = 2,
};

// One input mask; points are x, y pairs in fractions of the frame.
struct InputMask_t {
    int32_t type = 0;  // 0 inclusive, 1 exclusive
    std::vector<float> points;
};

struct pipeline_stage_parameters_t {
    std::string key;  // parent's key followed by this node's model id
    std::shared_ptr<ModelDetails_t> model;
    ChainMethod chainMethod = ChainMethod::Root;
    std::string featureExtractionClass;
    float nmsThreshold = 0.45f;

    ResizingMethod resizingMethod = ResizingMethod::Fit;
    float cropBox[4] = {0.0f, 0.0f, 1.0f, 1.0f};  // x0, y0, x1, y1 as fractions
    std::vector<InputMask_t> masks;

    bool lineCrossingEnabled = false;  // true only when a line was parsed
    float lineX1 = 0.0f, lineY1 = 0.0f, lineX2 = 0.0f, lineY2 = 0.0f;  // fractions

    std::string loiterObjectClass = "person";
    int64_t loiterTimeThresholdSeconds = 30;

    bool dumpingEnabled = false;  // the node's post-processor is "Illegal Dumping"
    std::string dumpingObjectClass = "object";
    int64_t dumpingTimeThresholdUs = 60LL * 1000000LL;
    float dumpingMovementThreshold = 0.1f;
    float dumpingKnownBoxIouThreshold = 0.75f;

    std::map<std::string, bool> classVisualisation;  // class name -> shown
    // False until the host's class selection for this stage was applied:
    // until then every class is shown, also those a post-processor declares.
    bool classVisualisationSet = false;

    std::string preprocessorName;
    std::string postprocessorName;
    ExternalPreprocessor_t* preprocessor = nullptr;    // not owned
    ExternalPostprocessor_t* postprocessor = nullptr;  // not owned
    std::map<std::string, std::string> preprocessorSettings;
    std::map<std::string, std::string> postprocessorSettings;

    bool needsFrame = false;
    std::vector<pipeline_stage_parameters_t> children;
};

// Every stage of the tree, depth first, each parent before its children.
std::vector<const pipeline_stage_parameters_t*> flattenPipelineStages(
    const std::vector<pipeline_stage_parameters_t>& stages);

// Model id -> model details of every stage of the tree that has a model.
ModelMap collectPipelineModels(const std::vector<pipeline_stage_parameters_t>& stages);

}  // namespace qz::vms_server_plugins::analytics::qzai
