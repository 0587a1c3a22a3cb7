#include "inference/preprocessing/input_tensors.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/heap_array.h"
#include "inference/preprocessing/resize_plan.h"
#include "inference/preprocessing/rgb_preprocessing.h"
#include "inference/preprocessing/yuv_preprocessing.h"
#include "inference/video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kImageInputName = "image-";
constexpr const char* kMaskInputName = "mask-";
constexpr const char* kNmsInputName = "nms_sensitivity-";
constexpr const char* kByteRuntimeName = "DEEPX";

// All input tensors of one request together: the image (three channels of
// float32 at most) and the mask, each side within kMaxTargetSide.
constexpr uint64_t kMaxRequestBytes = uint64_t{256} << 20;
constexpr uint64_t kMaxImageBytesPerPixel = 3 * sizeof(float);

// A refusal that depends only on the model's declaration recurs on every
// frame of the stage: each distinct text is logged once. The set is bounded;
// when full it starts afresh.
struct StageWarningsSaid {
    std::mutex mutex;
    std::set<std::string> texts;
};

StageWarningsSaid& stageWarningsSaid() {
    static StageWarningsSaid said;
    return said;
}

void warnOncePerStage(const std::string& text) {
    StageWarningsSaid& said = stageWarningsSaid();
    {
        std::lock_guard<std::mutex> lock(said.mutex);
        if (said.texts.size() >= 1024) said.texts.clear();
        if (!said.texts.insert(text).second) return;
    }
    logMessage("%s", text.c_str());
}

// One record before it is moved into the set.
struct PendingTensor {
    std::string name;
    uint32_t elementType = 0;
    std::vector<int32_t> shape;
    HeapArray<uint8_t> data;
};

// Which inputs a model declares, and the checks that need no pixels.
struct InputChoice {
    const NamedTensorDetails_t* image = nullptr;
    const NamedTensorDetails_t* mask = nullptr;
    const NamedTensorDetails_t* nms = nullptr;
    bool bytes = false;  // 8-bit road
};

const NamedTensorDetails_t* findInput(const ModelDetails_t& model, const char* name) {
    for (const auto& input : model.namedInputs)
        if (input.name == name) return &input;
    return nullptr;
}

// The mask's sides as declared; a missing or negative dimension counts as 0.
std::pair<int64_t, int64_t> maskSides(const NamedTensorDetails_t& input) {
    auto dim = [&](size_t i) -> int64_t {
        return i < input.shape.size() && input.shape[i] > 0 ? input.shape[i] : 0;
    };
    return {dim(0), dim(1)};
}

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatText(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// The checks that need no pixels; a model that fails one fails it on every
// frame, so each refusal is logged once.
std::optional<InputChoice> chooseInputs(const pipeline_stage_parameters_t& stage) {
    const ModelDetails_t* model = stage.model.get();
    if (!model) {
        warnOncePerStage(formatText("Warning! Pipeline stage %s has no model!\n", stage.key.c_str()));
        return std::nullopt;
    }
    InputChoice choice;
    const bool single = model->namedInputs.size() == 1;
    choice.image = single ? &model->namedInputs.front() : findInput(*model, kImageInputName);
    if (!choice.image) {
        warnOncePerStage(formatText("Warning! Model %s does not support image input!\n", model->id.c_str()));
        return std::nullopt;
    }
    if (!isSupportedTargetSize(model->input.width, model->input.height)) {
        warnOncePerStage(formatText("Warning! Model %s input size %" PRIu64 "x%" PRIu64 " exceeds %" PRIu64
                                    " per side!\n",
                                    model->id.c_str(), model->input.width, model->input.height, kMaxTargetSide));
        return std::nullopt;
    }
    if (!single) {
        choice.mask = findInput(*model, kMaskInputName);
        choice.nms = findInput(*model, kNmsInputName);
    }
    uint64_t maskBytes = 0;
    if (choice.mask) {
        const auto [d0, d1] = maskSides(*choice.mask);
        if (!isSupportedTargetSize(static_cast<uint64_t>(d0), static_cast<uint64_t>(d1))) {
            warnOncePerStage(formatText("Warning! Model %s declares a mask input of %" PRId64 "x%" PRId64
                                        " that cannot be made!\n",
                                        model->id.c_str(), d0, d1));
            return std::nullopt;
        }
        maskBytes = static_cast<uint64_t>(d0) * static_cast<uint64_t>(d1);
    }
    // Both factors are within 32768, so nothing here can overflow.
    const uint64_t imageBytes = model->input.width * model->input.height * kMaxImageBytesPerPixel;
    if (imageBytes + maskBytes > kMaxRequestBytes) {
        warnOncePerStage(formatText("Warning! Model %s declares inputs of %" PRIu64 " bytes, more than %" PRIu64
                                    " per frame!\n",
                                    model->id.c_str(), imageBytes + maskBytes, kMaxRequestBytes));
        return std::nullopt;
    }
    choice.bytes = model->preparation()->installedRuntimeName == kByteRuntimeName ||
                   choice.image->dataType == QZ_ELEMENT_UINT8;
    return choice;
}

template <typename T>
HeapArray<uint8_t> asBytes(HeapArray<T>&& pixels) {
    const size_t bytes = pixels.byteSize();
    return HeapArray<uint8_t>::adopt(reinterpret_cast<uint8_t*>(pixels.release()), bytes);
}

PendingTensor imageTensor(const NamedTensorDetails_t& input, HeapArray<uint8_t>&& pixels) {
    PendingTensor t;
    t.name = input.name;
    t.elementType = input.dataType;
    for (int64_t dim : input.shape)
        t.shape.push_back(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(dim))));
    t.data = std::move(pixels);
    return t;
}

// The sides were checked by chooseInputs.
std::optional<PendingTensor> maskTensor(const NamedTensorDetails_t& input) {
    const auto [d0, d1] = maskSides(input);
    PendingTensor t;
    if (!t.data.allocate(static_cast<size_t>(d0 * d1))) return std::nullopt;
    if (!t.data.empty()) std::memset(t.data.data(), 1, t.data.size());
    t.name = input.name;
    t.elementType = input.dataType;
    t.shape = {static_cast<int32_t>(d0), static_cast<int32_t>(d1)};
    return t;
}

std::optional<PendingTensor> nmsTensor(const NamedTensorDetails_t& input, float threshold) {
    PendingTensor t;
    if (!t.data.allocate(sizeof(float))) return std::nullopt;
    std::memcpy(t.data.data(), &threshold, sizeof(float));
    t.name = input.name;
    t.elementType = QZ_ELEMENT_FLOAT32;
    t.shape = {1};
    return t;
}

// Moves the records into malloc blocks. Any failed allocation frees what was
// built and gives an empty pointer.
TensorSetPtr buildTensorSet(std::vector<PendingTensor>&& pending) {
    TensorSetPtr set(static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet))));
    if (!set) return nullptr;
    set->tensors = static_cast<Tensor*>(std::calloc(pending.size(), sizeof(Tensor)));
    if (!set->tensors) return nullptr;
    set->count = static_cast<uint32_t>(pending.size());
    for (size_t i = 0; i < pending.size(); ++i) {
        PendingTensor& p = pending[i];
        Tensor& t = set->tensors[i];
        t.name = strdup(p.name.c_str());
        if (!t.name) return nullptr;
        t.elementType = p.elementType;
        t.rank = static_cast<uint32_t>(p.shape.size());
        if (!p.shape.empty()) {
            t.shape = static_cast<int32_t*>(std::malloc(p.shape.size() * sizeof(int32_t)));
            if (!t.shape) return nullptr;
            std::memcpy(t.shape, p.shape.data(), p.shape.size() * sizeof(int32_t));
        }
        t.byteSize = p.data.byteSize();
        t.data = p.data.release();
    }
    return set;
}

// Steps shared by both roads once the pixels are made.
TensorSetPtr assemble(const pipeline_stage_parameters_t& stage, const InputChoice& choice,
                      std::optional<HeapArray<uint8_t>>&& pixels) {
    if (!pixels) return nullptr;
    std::vector<PendingTensor> pending;
    pending.push_back(imageTensor(*choice.image, std::move(*pixels)));
    if (choice.mask) {
        auto mask = maskTensor(*choice.mask);
        if (!mask) return nullptr;
        pending.push_back(std::move(*mask));
    }
    if (choice.nms) {
        auto nms = nmsTensor(*choice.nms, stage.nmsThreshold);
        if (!nms) return nullptr;
        pending.push_back(std::move(*nms));
    }
    return buildTensorSet(std::move(pending));
}

template <typename T>
std::optional<HeapArray<uint8_t>> toBytes(std::optional<HeapArray<T>>&& pixels) {
    if (!pixels) return std::nullopt;
    return asBytes(std::move(*pixels));
}

}  // namespace

void forgetInputWarnings() {
    StageWarningsSaid& said = stageWarningsSaid();
    std::lock_guard<std::mutex> lock(said.mutex);
    said.texts.clear();
}

bool hasUsableInputs(const pipeline_stage_parameters_t& stage) {
    return chooseInputs(stage).has_value();
}

TensorSetPtr prepareRuntimeInput(const YuvPlanes& frame, const pipeline_stage_parameters_t& stage,
                                 std::span<const float, 4> cropBox) {
    const auto choice = chooseInputs(stage);
    if (!choice) return nullptr;
    const ModelInputDetails_t& in = stage.model->input;
    const ResizingMethod method = stage.resizingMethod;
    auto pixels = choice->bytes
                      ? toBytes(preprocessYuvToUint8(frame, in.width, in.height, cropBox, method))
                      : toBytes(preprocessYuvToFloat(frame, in, cropBox, method));
    return assemble(stage, *choice, std::move(pixels));
}

TensorSetPtr prepareRuntimeInput(const qz::sdk::analytics::IUncompressedVideoFrame* frame,
                                 const pipeline_stage_parameters_t& stage,
                                 std::span<const float, 4> cropBox) {
    return prepareRuntimeInput(yuvPlanesOf(frame), stage, cropBox);
}

TensorSetPtr qzai_module_video_preprocessing(const VideoFrame& frame,
                                             const pipeline_stage_parameters_t& stage,
                                             std::span<const float, 4> cropBox) {
    logInfo("Notice: qzai_module_video_preprocessing ##\n");
    const auto choice = chooseInputs(stage);
    if (!choice) return nullptr;
    const ModelInputDetails_t& in = stage.model->input;
    const ResizingMethod method = stage.resizingMethod;
    auto pixels = choice->bytes
                      ? toBytes(preprocessRgbToUint8(frame, in.width, in.height, cropBox, method))
                      : toBytes(preprocessRgbToFloat(frame, in, cropBox, method));
    return assemble(stage, *choice, std::move(pixels));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
