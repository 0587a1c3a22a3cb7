#include "inference/postprocessing/detection_rows.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <optional>

#include "common/log.h"
#include "common/text_utils.h"
#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {
namespace {

constexpr size_t kDetectionRowFloats = 6;

// The class index truncated toward zero, saturated to the int range; empty
// for a value that is not finite.
std::optional<int> classIndexOf(float value) {
    if (!std::isfinite(value)) return std::nullopt;
    if (value >= 2147483648.0f) return INT_MAX;
    if (value < -2147483648.0f) return INT_MIN;
    return static_cast<int>(value);
}

bool isFiniteBox(const BoxXywh& box) {
    return std::isfinite(box.x) && std::isfinite(box.y) && std::isfinite(box.width) && std::isfinite(box.height);
}

}  // namespace

int findDetectionTensor(const TensorSet* set) {
    if (!set || !set->tensors) return -1;
    for (uint32_t i = 0; i < set->count; ++i) {
        const Tensor& tensor = set->tensors[i];
        if (tensor.elementType == QZ_ELEMENT_FLOAT32 && tensor.name && std::strstr(tensor.name, "format:xyxysc"))
            return static_cast<int>(i);
    }
    return -1;
}

std::vector<std::string> detectionClassNames(const Tensor& tensor, const ModelPreparation* preparation) {
    const std::string name = tensor.name ? tensor.name : "";
    if (preparation && name == preparation->detectionOutputName) return preparation->detectionClasses;
    return parseClassNames(name);
}

FrameDetections_t readDetections(const Tensor& tensor, const std::vector<std::string>& classNames,
                                 const std::shared_ptr<InferenceInput_t>& request) {
    FrameDetections_t result;
    const size_t rows = tensor.data ? tensor.byteSize / sizeof(float) / kDetectionRowFloats : 0;
    const auto* bytes = static_cast<const unsigned char*>(tensor.data);
    // Without a model input size no box can be mapped back to the frame (the
    // mapping divides by it, and clamping may turn the result finite again).
    const ModelDetails_t* model = request && request->stage ? request->stage->model.get() : nullptr;
    const bool mappable = model && model->input.width > 0 && model->input.height > 0;
    for (size_t r = 0; r < rows; ++r) {
        float row[kDetectionRowFloats];
        std::memcpy(row, bytes + r * sizeof(row), sizeof(row));
        const float score = row[4];
        const std::optional<int> classIndex = classIndexOf(row[5]);
        if (!classIndex) {
            ++result.malformedRows;
            continue;
        }
        // An infinite score would outrank every real one downstream and reach
        // the host as the object's confidence.
        if (!std::isfinite(score)) {
            ++result.malformedRows;
            continue;
        }
        if (*classIndex < 0 || score < 1e-6) continue;
        if (static_cast<size_t>(*classIndex) >= classNames.size()) {
            logMessage("Warning! Got an invalid order from the model: %d\n", *classIndex);
            continue;
        }
        if (!std::isfinite(row[0]) || !std::isfinite(row[1]) || !std::isfinite(row[2]) || !std::isfinite(row[3])) {
            ++result.malformedRows;
            continue;
        }
        const BoxXywh box = mappable ? convertBoxToFrame(request, row[0], row[1], row[2], row[3]) : BoxXywh{};
        if (!mappable || !isFiniteBox(box)) {
            ++result.unmappedBoxes;
            continue;
        }
        result.byClass[classNames[static_cast<size_t>(*classIndex)]].push_back({box, score});
    }
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
