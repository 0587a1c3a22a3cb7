#include "inference/tensor_helpers.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "inference/inference_types.h"

namespace qz::vms_server_plugins::analytics::qzai {

int32_t dataTypeFromString(std::string name) {
    static const std::unordered_map<std::string, int32_t> kTypes = {
        {"float", 1},     {"float32", 1},  {"FLOAT", 1},      {"uint8_t", 2}, {"UINT8", 2},
        {"int8_t", 3},    {"INT8", 3},     {"uint16_t", 4},   {"UINT16", 4},  {"int16_t", 5},
        {"INT16", 5},     {"int32_t", 6},  {"int", 6},        {"INT32", 6},   {"int64_t", 7},
        {"INT64", 7},     {"bool", 9},     {"BOOL", 9},       {"double", 11}, {"DOUBLE", 11},
        {"uint32_t", 12}, {"UINT32", 12},  {"uint64_t", 13},  {"UINT64", 13},
    };
    const auto it = kTypes.find(name);
    return it == kTypes.end() ? 0 : it->second;
}

uint32_t elementSizeOf(uint32_t elementType) {
    switch (elementType) {
        case 2:  // uint8
        case 3:  // int8
        case 9:  // bool
            return 1;
        case 4:   // uint16
        case 5:   // int16
        case 10:  // float16
            return 2;
        case 1:   // float32
        case 6:   // int32
        case 12:  // uint32
            return 4;
        case 7:   // int64
        case 11:  // double
        case 13:  // uint64
            return 8;
        default:
            return 0;
    }
}

float computeIoU(const BoxXywh& a, const BoxXywh& b) {
    const float iw =
        std::max(0.0f, std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x));
    const float ih =
        std::max(0.0f, std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y));
    const float inter = iw * ih;
    if (inter == 0.0f) return 0.0f;
    const float uni = a.width * a.height + b.width * b.height - inter;
    if (uni <= 0.0f) return 0.0f;
    return inter / uni;
}

BoxXywh convertBoxToFrame(std::shared_ptr<InferenceInput_t> request, float x1, float y1, float x2,
                          float y2) {
    // Without a stage and its model the input size is unknown.
    const pipeline_stage_parameters_t* stage = request ? request->stage : nullptr;
    const ModelDetails_t* model = stage ? stage->model.get() : nullptr;
    if (!model) return BoxXywh{NAN, NAN, NAN, NAN};
    const ResizingMethod resizing = stage->resizingMethod;
    const float W = static_cast<float>(model->input.width);
    const float H = static_cast<float>(model->input.height);
    const float FW = static_cast<float>(request->frameWidth);
    const float FH = static_cast<float>(request->frameHeight);
    const FrameRegion_t& crop = request->region;

    if (x1 < 1.0f && y1 < 1.0f && x2 < 1.0f && y2 < 1.0f) {
        x1 *= W;
        x2 *= W;
        y1 *= H;
        y2 *= H;
    }
    float w = x2 - x1;
    float h = y2 - y1;
    const float pw = crop.width * FW;
    const float ph = crop.height * FH;

    if (resizing == ResizingMethod::Stretch) {
        x1 /= W;
        y1 /= H;
        w /= W;
        h /= H;
    } else {
        const float s = resizing == ResizingMethod::Crop ? std::max(W / pw, H / ph)
                                                         : std::min(W / pw, H / ph);
        const float sw = s * pw;
        const float sh = s * ph;
        const float ox = (W - sw) * 0.5f;
        const float oy = (H - sh) * 0.5f;
        x1 = (x1 - ox) / sw;
        y1 = (y1 - oy) / sh;
        w /= sw;
        h /= sh;
    }

    BoxXywh box;
    box.x = std::max(std::min(x1 * crop.width + crop.x, 1.0f), 0.0f);
    box.y = std::max(std::min(y1 * crop.height + crop.y, 1.0f), 0.0f);
    box.width = w * crop.width;
    box.height = h * crop.height;
    if (box.x + box.width > 1.0f) box.width = 1.0f - box.x;
    if (box.y + box.height > 1.0f) box.height = 1.0f - box.y;
    return box;
}

bool floatEquals(float a, float b) { return std::fabs(a - b) < 1e-6f; }

int32_t isKnownModelFamily(const std::string& name, bool* found) {
    static const std::unordered_map<std::string, int32_t> kFamilies = {
        {"yolo11", kAnchorFreeYolo},     {"yolov8", kAnchorFreeYolo},
        {"yolov9", kAnchorFreeYolo},     {"yolov10", kAnchorFreeYolo},
        {"yolo12", kAnchorFreeYolo},     {"yolov5", kAnchorBasedYolo},
        {"yolov6", kAnchorBasedYolo},    {"yolov7", kAnchorBasedYolo},
        {"yolo26", kYolo26},             {"yolonas", kYoloNas},
        {"rtdetr", kRtDetr},             {"rfdetr", kRfDetr},
        {"ssd", kSsd},                   {"ssdlite", kSsd},
        {"mobiledetv2", kSsd},           {"mobiledetv3", kSsd},
        {"efficientdet", kEfficientDet}, {"nanodet", kNanoDet},
        {"yolo8deepx", kYolov8DeepX},
    };
    if (found) *found = true;
    if (name.empty()) return kAnchorFreeYolo;

    std::string key;
    key.reserve(name.size());
    for (const char c : name) {
        if (c == '-' || c == '_') continue;
        key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    const auto it = kFamilies.find(key);
    if (it != kFamilies.end()) return it->second;
    if (found) *found = false;
    return kAnchorFreeYolo;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
