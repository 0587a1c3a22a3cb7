#include "inference/decoders/result_set.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "inference/decoders/decoder_log.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr size_t kRowFloats = 6;

// A set holding one [rowCount, 6] tensor whose data the caller fills; the
// empty set when rowCount is 0 or an allocation fails.
TensorSet* allocateResult(uint32_t id, size_t rowCount, float** data) {
    *data = nullptr;
    TensorSet* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    if (!set) return nullptr;
    set->id = id;
    if (rowCount == 0) return set;

    Tensor* tensor = static_cast<Tensor*>(std::calloc(1, sizeof(Tensor)));
    int32_t* shape = static_cast<int32_t*>(std::malloc(2 * sizeof(int32_t)));
    char* name = strdup(kDetectionTensorName);
    float* rows = rowCount <= static_cast<size_t>(INT32_MAX)
                      ? static_cast<float*>(std::malloc(rowCount * kRowFloats * sizeof(float)))
                      : nullptr;
    if (!tensor || !shape || !name || !rows) {
        std::free(tensor);
        std::free(shape);
        std::free(name);
        std::free(rows);
        decoderWarning("Warning! [Decoders] Could not allocate %zu detection rows.\n", rowCount);
        return set;
    }
    shape[0] = static_cast<int32_t>(rowCount);
    shape[1] = static_cast<int32_t>(kRowFloats);
    tensor->name = name;
    tensor->elementType = QZ_ELEMENT_FLOAT32;
    tensor->rank = 2;
    tensor->shape = shape;
    tensor->byteSize = rowCount * kRowFloats * sizeof(float);
    tensor->data = rows;
    set->count = 1;
    set->tensors = tensor;
    *data = rows;
    return set;
}

}  // namespace

TensorSet* makeEmptyResult(uint32_t id) {
    float* unused = nullptr;
    return allocateResult(id, 0, &unused);
}

TensorSet* makeDetectionResult(uint32_t id, const float* rows, size_t rowCount) {
    float* data = nullptr;
    TensorSet* set = allocateResult(id, rowCount, &data);
    if (data) std::memcpy(data, rows, rowCount * kRowFloats * sizeof(float));
    return set;
}

TensorSet* makeDetectionResult(uint32_t id, const std::vector<Detection>& detections) {
    float* data = nullptr;
    TensorSet* set = allocateResult(id, detections.size(), &data);
    if (!data) return set;
    for (const Detection& d : detections) {
        data[0] = d.x1;
        data[1] = d.y1;
        data[2] = d.x2;
        data[3] = d.y2;
        data[4] = d.score;
        data[5] = static_cast<float>(d.classId);
        data += kRowFloats;
    }
    return set;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
