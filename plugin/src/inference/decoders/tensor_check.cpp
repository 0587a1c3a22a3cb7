#include "inference/decoders/tensor_check.h"

#include <cstring>

#include "inference/decoders/decoder_log.h"
#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

uint32_t tensorCount(const TensorSet* set) {
    return set && set->tensors ? set->count : 0;
}

int32_t findFirstFloatTensor(const TensorSet* set) {
    const uint32_t count = tensorCount(set);
    for (uint32_t i = 0; i < count; ++i) {
        const Tensor& t = set->tensors[i];
        if (t.elementType == QZ_ELEMENT_FLOAT32 && t.data) return static_cast<int32_t>(i);
    }
    return -1;
}

int32_t findTensorIndexByName(const TensorSet& set, std::initializer_list<const char*> fragments) {
    const uint32_t count = tensorCount(&set);
    for (const char* fragment : fragments) {
        for (uint32_t i = 0; i < count; ++i) {
            const char* name = set.tensors[i].name;
            if (name && std::strstr(name, fragment)) return static_cast<int32_t>(i);
        }
    }
    return -1;
}

bool checkTensorShape(const char* tag, const TensorSet& set, int32_t index) {
    const Tensor& t = set.tensors[index];
    if (t.rank > 0 && !t.shape) {
        decoderWarning("Warning! [%s] Tensor %d has no shape.\n", tag, index);
        return false;
    }
    uint64_t total = 1;
    for (uint32_t d = 0; d < t.rank; ++d) {
        if (t.shape[d] < 0) {
            decoderWarning("Warning! [%s] Tensor %d has a negative dimension (%d).\n", tag, index,
                           t.shape[d]);
            return false;
        }
    }
    // Zero dimensions count as 1 here so that every partial product is
    // covered, not only the (then zero) total.
    for (uint32_t d = 0; d < t.rank; ++d) {
        const uint64_t dim = t.shape[d] > 0 ? static_cast<uint64_t>(t.shape[d]) : 1;
        if (__builtin_mul_overflow(total, dim, &total)) {
            decoderWarning("Warning! [%s] Tensor %d has too many elements.\n", tag, index);
            return false;
        }
    }
    return true;
}

bool checkTensorData(const char* tag, const TensorSet& set, int32_t index, uint64_t elements) {
    const Tensor& t = set.tensors[index];
    if (!t.data) {
        decoderWarning("Warning! [%s] Tensor %d has no data.\n", tag, index);
        return false;
    }
    const uint32_t elementSize = elementSizeOf(t.elementType);
    if (elementSize == 0) {
        decoderWarning("Warning! [%s] Tensor %d has unsupported element type %u.\n", tag, index,
                       t.elementType);
        return false;
    }
    uint64_t needed = 0;
    if (__builtin_mul_overflow(elements, static_cast<uint64_t>(elementSize), &needed)) {
        needed = UINT64_MAX;
    }
    if (t.byteSize < needed) {
        decoderWarning("Warning! [%s] Tensor %d holds %llu bytes, needs %llu.\n", tag, index,
                       static_cast<unsigned long long>(t.byteSize),
                       static_cast<unsigned long long>(needed));
        return false;
    }
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
