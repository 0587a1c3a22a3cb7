#include <algorithm>
#include <cmath>
#include <vector>

#include "inference/decoders/decoder_inputs.h"
#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoder_math.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/nms.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr const char* kNanoDetTag = "NanoDet";
constexpr int32_t kBins = 8;
constexpr int32_t kDistributionValues = 4 * kBins;  // left, top, right, bottom

// Known single-tensor layouts: input side S, strides, and the anchor count
// N = sum of ceil(S / stride)^2 that identifies them. Tried in this order.
struct SizeConfig {
    int32_t side;
    int32_t strides[4];
    int32_t levels;
};
constexpr SizeConfig kSizeConfigs[] = {
    {320, {8, 16, 32, 0}, 3},  {416, {8, 16, 32, 0}, 3},  {512, {8, 16, 32, 0}, 3},
    {640, {8, 16, 32, 0}, 3},  {320, {8, 16, 32, 64}, 4}, {416, {8, 16, 32, 64}, 4},
    {512, {8, 16, 32, 64}, 4}, {640, {8, 16, 32, 64}, 4},
};

int32_t featureMapSide(int32_t side, int32_t stride) { return (side - 1 + stride) / stride; }

int32_t anchorTotal(const SizeConfig& config) {
    int32_t total = 0;
    for (int32_t l = 0; l < config.levels; ++l) {
        const int32_t fm = featureMapSide(config.side, config.strides[l]);
        total += fm * fm;
    }
    return total;
}

// round(sqrt(a)) as an integer; a >= 0.
int32_t roundedRoot(int32_t a) {
    return static_cast<int32_t>(std::lround(std::sqrt(static_cast<double>(a))));
}

struct BestScore {
    float score;
    int32_t classId;
};

// A class value of a logit level is mapped through the logistic function,
// which never decreases: only a raw value above the best raw value so far
// can raise the best probability, so the others are not mapped at all. The
// result equals the plain loop "best = 0; p strictly above best replaces
// it" over every class.
BestScore bestLogitScore(const float* row, int32_t classes) {
    float bestRaw = -INFINITY;
    BestScore best{0.0f, 0};
    for (int32_t c = 0; c < classes; ++c) {
        if (!(row[c] > bestRaw)) continue;
        bestRaw = row[c];
        const float p = sigmoid(row[c]);
        if (p > best.score) best = {p, c};
    }
    return best;
}

struct LogitCut {
    bool active;
    float below;  // a row whose largest logit is below this cannot reach conf
};

// Rows of a logit level are first screened on their largest raw value: a
// logit below logit(conf), less a margin far wider than the logistic
// function's rounding, cannot give a probability of at least conf.
LogitCut logitCut(float conf) {
    if (!(conf > 0.0f) || !std::isfinite(conf)) return {false, 0.0f};
    if (conf >= 1.0f) return {true, 15.0f};  // sigmoid(15) < 1
    const double c = conf;
    return {true, static_cast<float>(std::log(c / (1.0 - c)) - 1e-3)};
}

void decodeNanoDetAnchor(const float* classRow, int32_t classes, const float* distribution, float cx,
                         float cy, int32_t stride, float conf, bool probabilities,
                         std::vector<Detection>& candidates) {
    BestScore best{0.0f, 0};
    if (probabilities) {
        best.score = bestScoreFromZero(classRow, classes);
        if (!passesThreshold(best.score, conf)) return;
        best.classId = classWithScore(classRow, classes, best.score);
    } else {
        best = bestLogitScore(classRow, classes);
    }
    if (!passesThreshold(best.score, conf)) return;
    float d[4];
    for (int32_t side = 0; side < 4; ++side) {
        d[side] = static_cast<float>(stride) * distributionMean(distribution + side * kBins, kBins, 1);
    }
    candidates.push_back({cx - d[0], cy - d[1], cx + d[2], cy + d[3], best.score, best.classId});
}

void decodeNanoDetLevel(const float* classData, int32_t classes, size_t classRowStride,
                        const float* distributionData, size_t distributionRowStride, int32_t anchors,
                        int32_t stride, float conf, std::vector<Detection>& candidates) {
    const int32_t fm = roundedRoot(anchors);
    if (static_cast<int64_t>(fm) * fm != anchors) {
        decoderWarning(
            "Warning! [NanoDet] num_anchors=%d is not a perfect square; cannot infer feature map "
            "size.\n",
            anchors);
        return;
    }
    // Probe about a hundred anchors: any value outside [-0.01, 1.01] makes
    // the whole level logits.
    bool probabilities = true;
    const int32_t step = std::max(1, anchors / 100);
    for (int32_t a = 0; a < anchors && probabilities; a += step) {
        const float* row = classData + static_cast<size_t>(a) * classRowStride;
        for (int32_t c = 0; c < classes; ++c) {
            if (row[c] < -0.01f || row[c] > 1.01f) {
                probabilities = false;
                break;
            }
        }
    }
    const LogitCut cut = probabilities ? LogitCut{false, 0.0f} : logitCut(conf);
    for (int32_t y = 0; y < fm; ++y) {
        for (int32_t x = 0; x < fm; ++x) {
            const size_t anchor = static_cast<size_t>(y) * fm + x;
            const float* classRow = classData + anchor * classRowStride;
            if (cut.active && largestAbove(classRow, classes, -INFINITY) < cut.below) continue;
            decodeNanoDetAnchor(classRow, classes, distributionData + anchor * distributionRowStride,
                                (static_cast<float>(x) + 0.5f) * static_cast<float>(stride),
                                (static_cast<float>(y) + 0.5f) * static_cast<float>(stride), stride,
                                conf, probabilities, candidates);
        }
    }
}

// One tensor [1, N, K + 32] or [N, K + 32], levels concatenated in stride
// order as one of the known size configurations lays them out.
bool decodeNanoDetFormatA(const TensorSet& input, float conf, std::vector<Detection>& candidates) {
    const Tensor& t = input.tensors[0];
    if (t.elementType != QZ_ELEMENT_FLOAT32 || !t.data) {
        decoderWarning("Warning! [NanoDet] Format A tensor is not FLOAT.\n");
        return false;
    }
    if (!checkTensorShape(kNanoDetTag, input, 0)) return false;
    int32_t n = 0, rowSize = 0;
    if (!readRowMajorShape(t, &n, &rowSize)) {
        decoderWarning("Warning! [NanoDet] Format A: unexpected rank %d.\n", static_cast<int>(t.rank));
        return false;
    }
    if (rowSize <= kDistributionValues) {
        decoderWarning("Warning! [NanoDet] Format A: last_dim %d too small.\n", rowSize);
        return false;
    }
    const SizeConfig* config = nullptr;
    for (const SizeConfig& c : kSizeConfigs) {
        if (anchorTotal(c) == n) {
            config = &c;
            break;
        }
    }
    if (!config) {
        decoderWarning(
            "Warning! [NanoDet] Format A: cannot match N=%d to a known input-size/stride "
            "configuration.\n",
            n);
        return false;
    }
    if (!checkTensorRows(kNanoDetTag, input, 0, n, rowSize)) return false;

    const float* data = static_cast<const float*>(t.data);
    const int32_t classes = rowSize - kDistributionValues;
    size_t offset = 0;
    for (int32_t l = 0; l < config->levels; ++l) {
        const int32_t fm = featureMapSide(config->side, config->strides[l]);
        const float* rows = data + offset * rowSize;
        decodeNanoDetLevel(rows, classes, rowSize, rows + classes, rowSize, fm * fm,
                           config->strides[l], conf, candidates);
        offset += static_cast<size_t>(fm) * fm;
    }
    return true;
}

struct Level {
    int32_t anchors;
    int32_t classIndex;
    int32_t classes;
    int32_t distributionIndex;
    int32_t stride;
};

// Per level a class tensor [1, A, K > 32] and a distribution tensor
// [1, A, 32]; levels of the same anchor count pair up.
bool decodeNanoDetFormatB(const TensorSet& input, float conf, std::vector<Detection>& candidates) {
    std::vector<Level> levels;
    std::vector<int32_t> distributions;
    for (uint32_t i = 0; i < input.count; ++i) {
        const Tensor& t = input.tensors[i];
        // A tensor without anchors has no level to give.
        if (!isBatchOfOneRank3(t) || t.elementType != QZ_ELEMENT_FLOAT32 || t.shape[1] <= 0) continue;
        if (t.shape[2] == kDistributionValues) {
            distributions.push_back(static_cast<int32_t>(i));
        } else if (t.shape[2] > kDistributionValues) {
            levels.push_back({t.shape[1], static_cast<int32_t>(i), t.shape[2], -1, 0});
        }
    }
    if (levels.empty() || distributions.empty()) {
        decoderWarning("Warning! [NanoDet] Format B: no matching cls/dist tensor pairs found.\n");
        return false;
    }
    for (Level& level : levels) {
        for (const int32_t d : distributions) {
            if (input.tensors[d].shape[1] == level.anchors) {
                level.distributionIndex = d;
                break;
            }
        }
        if (level.distributionIndex < 0) {
            decoderWarning("Warning! [NanoDet] Format B: no dist tensor for num_anchors=%d.\n",
                           level.anchors);
            return false;
        }
    }
    if (levels.size() < 2) {
        decoderWarning("Warning! [NanoDet] Format B: need at least 2 stride levels.\n");
        return false;
    }
    std::stable_sort(levels.begin(), levels.end(),
                     [](const Level& a, const Level& b) { return a.anchors > b.anchors; });
    for (const Level& level : levels) {
        const int32_t fm = roundedRoot(level.anchors);
        if (static_cast<int64_t>(fm) * fm != level.anchors) {
            decoderWarning("Warning! [NanoDet] Format B: num_anchors=%d is not a perfect square.\n",
                           level.anchors);
            return false;
        }
    }
    // Feature maps shrink by about half per level (ceil(S / stride)), so
    // the stride is 8 times the nearest power of two of fm0 / fm: 52, 26,
    // 13, 7 give 8, 16, 32, 64.
    const double fm0 = roundedRoot(levels[0].anchors);
    for (Level& level : levels) {
        const double ratio = fm0 / roundedRoot(level.anchors);
        level.stride = 8 << static_cast<int32_t>(std::lround(std::log2(ratio)));
    }
    for (const Level& level : levels) {
        if (!checkTensorShapes(kNanoDetTag, input, {level.classIndex, level.distributionIndex}) ||
            !checkTensorRows(kNanoDetTag, input, level.classIndex, level.anchors, level.classes) ||
            !checkTensorRows(kNanoDetTag, input, level.distributionIndex, level.anchors,
                             kDistributionValues)) {
            return false;
        }
    }
    for (const Level& level : levels) {
        decodeNanoDetLevel(static_cast<const float*>(input.tensors[level.classIndex].data),
                           level.classes, static_cast<size_t>(level.classes),
                           static_cast<const float*>(input.tensors[level.distributionIndex].data),
                           kDistributionValues, level.anchors, level.stride, conf, candidates);
    }
    return true;
}

}  // namespace

TensorSet* decodeNanoDet(const TensorSet* input, float conf, float iou) {
    const uint32_t id = input ? input->id : 0;
    const uint32_t count = tensorCount(input);
    if (count == 0) {
        decoderWarning("Warning! [NanoDet] No input tensors.\n");
        return makeEmptyResult(id);
    }
    std::vector<Detection> candidates;
    candidates.reserve(256);
    const bool decoded = count == 1 ? decodeNanoDetFormatA(*input, conf, candidates)
                                    : decodeNanoDetFormatB(*input, conf, candidates);
    if (!decoded) return makeEmptyResult(id);
    const std::vector<Detection> kept = applyNonMaximumSuppression(std::move(candidates), iou, false);
    decoderVerbose("[NanoDet] %d detections after NMS.\n", static_cast<int>(kept.size()));
    return makeDetectionResult(id, kept);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
