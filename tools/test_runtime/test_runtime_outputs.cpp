#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "test_runtime_internal.h"

namespace test_runtime {

size_t elementSize(uint32_t elementType) {
    switch (elementType) {
        case QZ_ELEMENT_UINT8: case QZ_ELEMENT_INT8: case QZ_ELEMENT_BOOL: return 1;
        case QZ_ELEMENT_UINT16: case QZ_ELEMENT_INT16: return 2;
        case QZ_ELEMENT_FLOAT32: case QZ_ELEMENT_INT32: case QZ_ELEMENT_UINT32: return 4;
        case QZ_ELEMENT_INT64: case QZ_ELEMENT_DOUBLE: case QZ_ELEMENT_UINT64: return 8;
        default: return 0;
    }
}

namespace {

std::string shapeText(const Tensor& t) {
    std::string text;
    for (uint32_t d = 0; d < t.rank; ++d) {
        if (d) text += ',';
        text += std::to_string(t.shape[d]);
    }
    return text;
}

}  // namespace

// Texts are built only for a refusal: this runs on every enqueue.
bool validateInput(const TensorSet* set, std::string& error) {
    if (!set) {
        error = "input set is null";
        return false;
    }
    if (set->count == 0 || !set->tensors) {
        error = "input set holds no tensors";
        return false;
    }
    for (uint32_t i = 0; i < set->count; ++i) {
        const Tensor& t = set->tensors[i];
        if (!t.name) {
            error = "input tensor " + std::to_string(i) + " has no name";
            return false;
        }
        const std::string_view name(t.name);
        const size_t size = elementSize(t.elementType);
        if (size == 0) {
            error = "input tensor '" + std::string(name) + "' has unknown element type "
                + std::to_string(t.elementType);
            return false;
        }
        if (t.rank > 0 && !t.shape) {
            error = "input tensor '" + std::string(name) + "' has rank " + std::to_string(t.rank) + " but no shape";
            return false;
        }
        uint64_t expected = size;
        for (uint32_t d = 0; d < t.rank; ++d) {
            if (t.shape[d] < 0) {
                error = "input tensor '" + std::string(name) + "' has a negative dimension";
                return false;
            }
            expected *= static_cast<uint64_t>(t.shape[d]);
        }
        if (t.byteSize != expected) {
            error = "input tensor '" + std::string(name) + "' has " + std::to_string(t.byteSize) + " bytes but shape ["
                + shapeText(t) + "] of element type " + std::to_string(t.elementType) + " needs "
                + std::to_string(expected);
            return false;
        }
        if (t.byteSize > 0 && !t.data) {
            error = "input tensor '" + std::string(name) + "' has no data";
            return false;
        }
    }
    return true;
}

namespace {

TensorSet* newSet(uint32_t id, uint32_t count) {
    auto* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->id = id;
    set->count = count;
    set->tensors = count ? static_cast<Tensor*>(std::calloc(count, sizeof(Tensor))) : nullptr;
    return set;
}

void fillTensor(Tensor& t, const char* name, uint32_t type, const std::vector<int32_t>& shape, const void* data,
    uint64_t byteSize) {
    t.name = strdup(name);
    t.elementType = type;
    t.rank = static_cast<uint32_t>(shape.size());
    t.shape = t.rank ? static_cast<int32_t*>(std::malloc(t.rank * sizeof(int32_t))) : nullptr;
    if (t.rank) std::memcpy(t.shape, shape.data(), t.rank * sizeof(int32_t));
    t.byteSize = byteSize;
    t.data = byteSize ? std::malloc(byteSize) : nullptr;
    if (byteSize) std::memcpy(t.data, data, byteSize);
}

}  // namespace

TensorSet* familyOutput(uint32_t id, const std::string& layout, const std::vector<std::array<float, 6>>& squares,
    int64_t width, int64_t height) {
    constexpr int32_t kQueries = 10;
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    std::vector<float> boxes(kQueries * 4, 0.0f);
    TensorSet* set = newSet(id, 2);
    if (layout == "ssd") {
        std::vector<float> scores(kQueries * 2, 0.0f);
        for (size_t q = 0; q < kQueries; ++q) scores[q * 2] = 1.0f;  // background
        for (size_t q = 0; q < squares.size() && q < kQueries; ++q) {
            const auto& r = squares[q];
            const float box[4] = {r[1] / h, r[0] / w, r[3] / h, r[2] / w};
            std::copy(box, box + 4, &boxes[q * 4]);
            scores[q * 2] = 1.0f - r[4];
            scores[q * 2 + 1] = r[4];
        }
        fillTensor(set->tensors[0], "boxes", QZ_ELEMENT_FLOAT32, {1, kQueries, 4}, boxes.data(), boxes.size() * 4);
        fillTensor(set->tensors[1], "scores", QZ_ELEMENT_FLOAT32, {1, kQueries, 2}, scores.data(), scores.size() * 4);
        return set;
    }
    // Five equal logits give 0.2 each; a square's class 0 gets the logit
    // whose softmax share is its score: e^L / (e^L + 4) = s.
    constexpr int32_t kColumns = 5;
    std::vector<float> logits(kQueries * kColumns, 0.0f);
    for (size_t q = 0; q < squares.size() && q < kQueries; ++q) {
        const auto& r = squares[q];
        const float box[4] = {(r[0] + r[2]) / 2 / w, (r[1] + r[3]) / 2 / h, (r[2] - r[0]) / w, (r[3] - r[1]) / h};
        std::copy(box, box + 4, &boxes[q * 4]);
        logits[q * kColumns] = std::log(4.0f * r[4] / (1.0f - r[4]));
    }
    fillTensor(set->tensors[0], "pred_logits", QZ_ELEMENT_FLOAT32, {1, kQueries, kColumns}, logits.data(),
        logits.size() * 4);
    fillTensor(set->tensors[1], "pred_boxes", QZ_ELEMENT_FLOAT32, {1, kQueries, 4}, boxes.data(), boxes.size() * 4);
    return set;
}

namespace {

TensorSet* rowsOutput(uint32_t id, const std::string& name, const std::vector<std::array<float, 6>>& rows) {
    TensorSet* set = newSet(id, 1);
    fillTensor(set->tensors[0], name.c_str(), QZ_ELEMENT_FLOAT32,
        {static_cast<int32_t>(rows.size()), 6}, rows.data(), rows.size() * sizeof(rows[0]));
    return set;
}

TensorSet* triggerOutput(uint32_t id, const Model& model) {
    TensorSet* set = newSet(id, model.floatTriggerFirst ? 2 : 1);
    uint32_t i = 0;
    if (model.floatTriggerFirst) {
        const float value = model.triggerValue ? 1.0f : 0.0f;
        fillTensor(set->tensors[i++], "Trigger", QZ_ELEMENT_FLOAT32, {1}, &value, sizeof(value));
    }
    const uint8_t value = model.triggerValue ? 1 : 0;
    if (model.triggerBytes == 0) fillTensor(set->tensors[i], "Trigger", QZ_ELEMENT_BOOL, {0}, nullptr, 0);
    else fillTensor(set->tensors[i], "Trigger", QZ_ELEMENT_BOOL, {1}, &value, 1);
    return set;
}

}  // namespace

TensorSet* classifyOutput(uint32_t id, const TensorSet& input, const Model& model) {
    float mean = 0.0f;
    int64_t width = 0, height = 0;
    if (!imageMean(input, mean, width, height)) return rowsOutput(id, model.detectionName, {});
    size_t level = 0;
    while (level < model.levels.size() && mean >= model.levels[level]) ++level;
    const std::array<float, 6> row{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height),
        model.squareScore, static_cast<float>(level)};
    TensorSet* set = newSet(id, model.scoresName.empty() ? 1 : 2);
    fillTensor(set->tensors[0], model.detectionName.c_str(), QZ_ELEMENT_FLOAT32, {1, 6}, row.data(), sizeof row);
    if (!model.scoresName.empty()) {
        std::vector<float> scores(model.levels.size() + 1, 0.0f);
        scores[level] = 1.0f;
        fillTensor(set->tensors[1], model.scoresName.c_str(), QZ_ELEMENT_FLOAT32,
            {1, static_cast<int32_t>(scores.size())}, scores.data(), scores.size() * sizeof(float));
    }
    return set;
}

TensorSet* copySet(const TensorSet& input) {
    TensorSet* set = newSet(input.id, input.count);
    for (uint32_t i = 0; i < input.count; ++i) {
        const Tensor& t = input.tensors[i];
        fillTensor(set->tensors[i], t.name ? t.name : "", t.elementType,
            std::vector<int32_t>(t.shape, t.shape + t.rank), t.data, t.byteSize);
    }
    return set;
}

TensorSet* produceOutput(const Model& model, const TensorSet& input) {
    switch (model.mode) {
        case Mode::Echo: {
            TensorSet* set = copySet(input);
            for (uint32_t i = 0; i < set->count && i < model.outputNames.size(); ++i) {
                std::free(set->tensors[i].name);
                set->tensors[i].name = strdup(model.outputNames[i].c_str());
            }
            return set;
        }
        case Mode::Detect: return rowsOutput(input.id, model.detectionName, model.rows);
        case Mode::Trigger: return triggerOutput(input.id, model);
        case Mode::FindSquares: {
            float mean = 0.0f;
            int64_t width = 0, height = 0;
            if (model.layout != "rows" && imageMean(input, mean, width, height))
                return familyOutput(input.id, model.layout, findSquares(input, model), width, height);
            return rowsOutput(input.id, model.detectionName, findSquares(input, model));
        }
        case Mode::Classify: return classifyOutput(input.id, input, model);
    }
    return nullptr;
}

void freeSet(TensorSet* set) {
    if (!set) return;
    for (uint32_t i = 0; set->tensors && i < set->count; ++i) {
        std::free(set->tensors[i].name);
        std::free(set->tensors[i].shape);
        std::free(set->tensors[i].data);
    }
    std::free(set->tensors);
    std::free(set);
}

}  // namespace test_runtime
