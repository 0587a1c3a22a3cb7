#include "inference/chain_tensors.h"

#include <cstdlib>
#include <cstring>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

bool sameDeclaration(const NamedTensorDetails_t& a, const NamedTensorDetails_t& b) {
    return a.name == b.name && a.dataType == b.dataType && a.shape == b.shape;
}

// Copies `size` bytes into a fresh block; a null block for size 0.
bool copyBlock(ChainAllocator allocate, const void* source, size_t size, void** out) {
    *out = nullptr;
    if (size == 0) return true;
    *out = allocate(size);
    if (!*out) return false;
    std::memcpy(*out, source, size);
    return true;
}

}  // namespace

const NamedTensorDetails_t* firstUnmatchedOutput(const std::vector<NamedTensorDetails_t>& parentOutputs,
                                                 const std::vector<NamedTensorDetails_t>& childInputs) {
    for (const NamedTensorDetails_t& output : parentOutputs) {
        bool matched = false;
        for (const NamedTensorDetails_t& input : childInputs) {
            if (sameDeclaration(output, input)) {
                matched = true;
                break;
            }
        }
        if (!matched) return &output;
    }
    return nullptr;
}

TensorSetPtr copyTensorSet(const TensorSet& set, ChainAllocator allocate) {
    if (!allocate) allocate = &std::malloc;
    if (set.count > 0 && !set.tensors) return {};
    TensorSetPtr copy(static_cast<TensorSet*>(allocate(sizeof(TensorSet))));
    if (!copy) return {};
    copy->id = set.id;
    copy->count = 0;
    copy->tensors = nullptr;
    if (set.count == 0) return copy;

    const size_t arrayBytes = sizeof(Tensor) * set.count;
    copy->tensors = static_cast<Tensor*>(allocate(arrayBytes));
    if (!copy->tensors) return {};
    std::memset(copy->tensors, 0, arrayBytes);
    // The count covers every record from the start: records not yet filled
    // are all null, so freeing a partial copy frees exactly what was made.
    copy->count = set.count;
    for (uint32_t i = 0; i < set.count; ++i) {
        const Tensor& from = set.tensors[i];
        Tensor& to = copy->tensors[i];
        if ((from.rank > 0 && !from.shape) || (from.byteSize > 0 && !from.data)) return {};
        if (from.name) {
            void* name = nullptr;
            if (!copyBlock(allocate, from.name, std::strlen(from.name) + 1, &name)) return {};
            to.name = static_cast<char*>(name);
        }
        to.elementType = from.elementType;
        to.rank = from.rank;
        void* shape = nullptr;
        if (!copyBlock(allocate, from.shape, sizeof(int32_t) * from.rank, &shape)) return {};
        to.shape = static_cast<int32_t*>(shape);
        if (!copyBlock(allocate, from.data, static_cast<size_t>(from.byteSize), &to.data)) return {};
        to.byteSize = from.byteSize;
    }
    return copy;
}

bool conditionalTrigger(const TensorSet* set) {
    if (!set || !set->tensors) return false;
    for (uint32_t i = 0; i < set->count; ++i) {
        const Tensor& t = set->tensors[i];
        if (!t.name || std::strcmp(t.name, "Trigger") != 0 || t.elementType != QZ_ELEMENT_BOOL) continue;
        if (t.byteSize == 0 || !t.data) return false;
        return static_cast<const uint8_t*>(t.data)[0] != 0;
    }
    return false;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
