// Plain records shared by the engine, the device agents and the inference
// road: one model's details, one camera's identity and settings snapshot, and
// the stages of a camera's pipeline.
//
// Ownership and threads: ModelDetails_t is shared through shared_ptr in a map
// keyed by model id; its download state and progress are atomics read from
// host threads while the engine's loop thread writes them, and its error list
// is guarded by errorsMutex. A DeviceAgentSettings_t is immutable once
// published (replaced whole through an atomic shared_ptr), so the stages it
// holds are read without locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

struct ExternalPreprocessor_t;
struct ExternalPostprocessor_t;

// The external processor maps, ordered by name. A record owns a process and a
// receive thread and must keep one address for its whole life (pipeline stages
// point at it), so the maps hold records by shared pointer; this also lets the
// maps be built and destroyed where the record types are incomplete.
using ExternalPreprocessorMap = std::map<std::string, std::shared_ptr<ExternalPreprocessor_t>>;
using ExternalPostprocessorMap = std::map<std::string, std::shared_ptr<ExternalPostprocessor_t>>;

enum class ModelDownloadState : int32_t {
    NotExamined = 0,
    Downloading = 1,
    Ready = 2,
    Failed = 4,
};

// One named input or output of a model ("NamedInput" / "NamedOutput").
struct NamedTensorDetails_t {
    std::string name;
    uint32_t dataType = 0;  // ONNX element type, from "DataType"
    std::vector<int64_t> shape;
};

// The model's "InputDriverDetails".
struct ModelInputDetails_t {
    uint64_t width = 0;
    uint64_t height = 0;
    uint32_t channels = 0;
    int32_t order = 0;  // 1 only when the JSON value is the integer 1
    float means[3] = {0.0f, 0.0f, 0.0f};
    float vars[3] = {1.0f, 1.0f, 1.0f};
};

// What preparing a model for the installed runtime decided. Published whole
// and never changed afterwards, so a request that took one keeps a
// consistent view while the model is prepared again.
struct ModelPreparation {
    std::string installedRuntimeName;  // runtime the model was prepared for

    // From "raw_postprocessing.json".
    bool builtInDecoding = false;
    uint32_t modelArchitecture = 0;
    float confidenceThreshold = 0.25f;
    float iouThreshold = 0.45f;
    std::string detectionOutputName = "output0 format:xyxysc";
    std::vector<std::string> detectionClasses;
};

struct ModelDetails_t {
    std::string id;    // "UUID"
    std::string name;  // "Name"

    std::atomic<ModelDownloadState> downloadState{ModelDownloadState::NotExamined};
    std::atomic<uint64_t> downloadProgress{0};  // percent

    mutable std::mutex errorsMutex;
    std::vector<std::string> errors;  // guarded by errorsMutex

    std::string lastModified;  // "LastModified"
    std::string downloadUrl;
    uint64_t downloadSize = 0;

    std::string modelFilePath;
    std::string keyFilePath;
    std::string decryptedPath;

    ModelInputDetails_t input;
    std::vector<NamedTensorDetails_t> namedInputs;
    std::vector<NamedTensorDetails_t> namedOutputs;

    // From the named outputs, through parseClassNames.
    std::string scoresOutputName;
    std::vector<std::string> scoresClasses;

    std::vector<std::string> classNames;  // in model order

    // The current preparation (never null); take it once per request or
    // output and read only that.
    std::shared_ptr<const ModelPreparation> preparation() const {
        std::lock_guard<std::mutex> lock(preparationMutex);
        return m_preparation;
    }
    void setPreparation(std::shared_ptr<const ModelPreparation> preparation) {
        std::lock_guard<std::mutex> lock(preparationMutex);
        m_preparation = std::move(preparation);
    }

    void addError(std::string text) {
        std::lock_guard<std::mutex> lock(errorsMutex);
        errors.push_back(std::move(text));
    }
    std::vector<std::string> errorsCopy() const {
        std::lock_guard<std::mutex> lock(errorsMutex);
        return errors;
    }

private:
    mutable std::mutex preparationMutex;
    std::shared_ptr<const ModelPreparation> m_preparation = std::make_shared<const ModelPreparation>();
};

using ModelMap = std::map<std::string, std::shared_ptr<ModelDetails_t>>;

struct DeviceAgentDetails_t {
    std::string deviceId;
    std::string deviceName;
};

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

struct AvailablePipeline_t {
    std::string parameters;  // the pipeline's parameters text
    std::string name;
    std::string uuid;
};

struct DeviceAgentSettings_t {
    bool deviceActive = false;
    std::string deviceAdminAddress;
    bool cloudParametersReceived = false;
    std::vector<AvailablePipeline_t> availablePipelines;
    std::string selectedPipeline = "Custom";
    std::vector<pipeline_stage_parameters_t> stages;
};

// Key of a device agent's map of error texts (the settings model lists the
// texts only).
enum class DeviceAgentErrorType : int32_t {
    DeviceParameters = 0,  // the device's parameters could not be read
    Pipeline = 1,          // the pipeline could not be parsed
    ModelDownload = 2,     // a model of the pipeline failed to download
};

enum class CloudConnectionState : int32_t {
    Unset = 0,
    Checking = 1,
    NoCloudToken = 2,
    BeingRegistered = 3,
    RegistrationFailed = 4,
    TokenObtained = 5,
};

// Every stage of the tree, depth first, each parent before its children.
std::vector<const pipeline_stage_parameters_t*> flattenPipelineStages(
    const std::vector<pipeline_stage_parameters_t>& stages);

// Model id -> model details of every stage of the tree that has a model.
ModelMap collectPipelineModels(const std::vector<pipeline_stage_parameters_t>& stages);

}  // namespace qz::vms_server_plugins::analytics::qzai
