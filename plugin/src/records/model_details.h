// One model's details: what its description says, its download state and
// errors, and what preparing it for the installed runtime decided.
//
// Ownership and threads: ModelDetails_t is shared through shared_ptr in a map
// keyed by model id; its download state and progress are atomics read from
// host threads while the engine's loop thread writes them, its error list is
// guarded by errorsMutex and its preparation is replaced whole under
// preparationMutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

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

}  // namespace qz::vms_server_plugins::analytics::qzai
