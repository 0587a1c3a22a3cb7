#include <algorithm>
#include <climits>
#include <vector>

#include "inference/decoders/class_search.h"
#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoder_math.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kYolov8DeepXTag = "YOLOv8-DeepX";
constexpr int32_t kDeepXBins = 16;
constexpr int32_t kRegressionChannels = 4 * kDeepXBins;  // left, top, right, bottom
constexpr int32_t kTensors = 6;
constexpr int32_t kLevels = 3;
constexpr int32_t kStrides[kLevels] = {8, 16, 32};

// One output level, channel-first: the regression tensor [1, 64, H, W]
// and its class tensor [1, K, H, W].
struct DeepXLevel {
    const float* regression;
    const float* scores;
    int32_t classes;
    int32_t height;
    int32_t width;
    int32_t stride;
};

int64_t cells(const Tensor& t) { return static_cast<int64_t>(t.shape[2]) * t.shape[3]; }

void decodeDeepXLevel(const DeepXLevel& level, float conf, std::vector<Detection>& candidates) {
    const int32_t cellCount = level.height * level.width;
    const size_t plane = static_cast<size_t>(cellCount);
    // Class-major search (each cell still sees its classes in order): best
    // starts at conf, so only a raw score strictly above it picks a class.
    std::vector<float> best(plane, conf);
    std::vector<int32_t> cls(plane, -1);
    searchClassesChannelMajor(0, cellCount, level.classes, level.scores, plane, best.data(),
                              cls.data());
    const float stride = static_cast<float>(level.stride);
    for (int32_t y = 0; y < level.height; ++y) {
        for (int32_t x = 0; x < level.width; ++x) {
            const size_t cell = static_cast<size_t>(y) * level.width + x;
            if (cls[cell] < 0 || !passesThreshold(best[cell], conf)) continue;
            float d[4];
            for (int32_t side = 0; side < 4; ++side) {
                d[side] = distributionMean(level.regression + side * kDeepXBins * plane + cell, kDeepXBins, plane);
            }
            const float ax = static_cast<float>(x) + 0.5f;
            const float ay = static_cast<float>(y) + 0.5f;
            candidates.push_back({(ax - d[0]) * stride, (ay - d[1]) * stride, (ax + d[2]) * stride,
                                  (ay + d[3]) * stride, best[cell], cls[cell]});
        }
    }
}

}  // namespace

TensorSet* decodeYolov8DeepX(const TensorSet* input, float conf, float iou) {
    const uint32_t id = input ? input->id : 0;
    const uint32_t count = tensorCount(input);
    if (count != kTensors) {
        decoderWarning(
            "Warning! [YOLOv8-DeepX] Expected exactly 6 output tensors (3 reg/cls pairs), got %d.\n",
            static_cast<int>(count));
        return makeEmptyResult(id);
    }
    // Rank-4 float tensors of one batch: 64 channels is a regression
    // tensor, any other count a class tensor; everything else is ignored.
    std::vector<int32_t> regression, scores;
    for (uint32_t i = 0; i < count; ++i) {
        const Tensor& t = input->tensors[i];
        if (t.rank != 4 || !t.shape || t.elementType != QZ_ELEMENT_FLOAT32 || t.shape[0] != 1) continue;
        (t.shape[1] == kRegressionChannels ? regression : scores).push_back(static_cast<int32_t>(i));
    }
    if (regression.size() != kLevels || scores.size() != kLevels) {
        decoderWarning(
            "Warning! [YOLOv8-DeepX] Could not identify 3 reg + 3 cls tensors (reg=%zu, cls=%zu).\n",
            regression.size(), scores.size());
        return makeEmptyResult(id);
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!checkTensorShape(kYolov8DeepXTag, *input, static_cast<int32_t>(i))) return makeEmptyResult(id);
    }
    std::vector<DeepXLevel> levels;
    for (const int32_t r : regression) {
        const Tensor& reg = input->tensors[r];
        const auto match = std::find_if(scores.begin(), scores.end(), [&](int32_t s) {
            return cells(input->tensors[s]) == cells(reg);
        });
        if (match == scores.end()) {
            decoderWarning(
                "Warning! [YOLOv8-DeepX] No cls tensor matches reg tensor's spatial size (%dx%d).\n",
                reg.shape[2], reg.shape[3]);
            return makeEmptyResult(id);
        }
        const Tensor& cls = input->tensors[*match];
        if (cells(reg) > INT32_MAX) {
            decoderWarning("Warning! [YOLOv8-DeepX] Tensor %d has too many cells.\n", r);
            return makeEmptyResult(id);
        }
        // Both are indexed by the regression tensor's H x W cells.
        if (!checkTensorRows(kYolov8DeepXTag, *input, r, kRegressionChannels, cells(reg)) ||
            !checkTensorRows(kYolov8DeepXTag, *input, *match, cls.shape[1], cells(reg))) {
            return makeEmptyResult(id);
        }
        levels.push_back({static_cast<const float*>(reg.data), static_cast<const float*>(cls.data),
                          cls.shape[1], reg.shape[2], reg.shape[3], 0});
    }
    std::stable_sort(levels.begin(), levels.end(),
                     [](const DeepXLevel& a, const DeepXLevel& b) { return a.height > b.height; });
    std::vector<Detection> candidates;
    candidates.reserve(256);
    for (int32_t l = 0; l < kLevels; ++l) {
        levels[l].stride = kStrides[l];
        decodeDeepXLevel(levels[l], conf, candidates);
    }
    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, true);
    decoderVerbose("[YOLOv8-DeepX] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
