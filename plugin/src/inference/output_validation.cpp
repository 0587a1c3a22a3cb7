#include "inference/output_validation.h"

#include <algorithm>

#include "inference/tensor_helpers.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Texts are built only for a refusal: this runs on every output.
bool refuse(std::string& problem, uint32_t tensor, const std::string& what) {
    problem = "tensor " + std::to_string(tensor) + " " + what;
    return false;
}

bool checkTensor(const Tensor& t, uint32_t index, std::string& problem) {
    if (!t.name) return refuse(problem, index, "has no name");
    if (t.rank > kMaxOutputRank) return refuse(problem, index, "has rank " + std::to_string(t.rank));
    if (t.rank > 0 && !t.shape) return refuse(problem, index, "has no shape");
    uint64_t elements = 1;
    bool overflow = false;
    for (uint32_t d = 0; d < t.rank; ++d) {
        if (t.shape[d] < 0) return refuse(problem, index, "has a negative dimension");
        overflow = overflow || __builtin_mul_overflow(elements, static_cast<uint64_t>(t.shape[d]), &elements);
    }
    if (t.byteSize > 0 && !t.data) return refuse(problem, index, "has no data for " + std::to_string(t.byteSize) + " bytes");
    const uint32_t elementSize = elementSizeOf(t.elementType);
    if (elementSize == 0) return true;  // opaque bytes
    uint64_t expected = 0;
    if (overflow || __builtin_mul_overflow(elements, static_cast<uint64_t>(elementSize), &expected))
        return refuse(problem, index, "has a shape too large to address");
    if (t.byteSize != expected) {
        return refuse(problem, index,
                      "holds " + std::to_string(t.byteSize) + " bytes where its shape needs " + std::to_string(expected));
    }
    return true;
}

}  // namespace

bool matchesInputSet(const TensorSet& replacement, const TensorSet& prepared, std::string& problem) {
    if (replacement.count != prepared.count || (replacement.count > 0 && !replacement.tensors)) {
        problem = std::to_string(replacement.count) + " tensors instead of " + std::to_string(prepared.count);
        return false;
    }
    for (uint32_t i = 0; i < prepared.count; ++i) {
        const Tensor& got = replacement.tensors[i];
        const Tensor& want = prepared.tensors[i];
        const std::string name = want.name ? want.name : "";
        if (!got.name || name != got.name) {
            problem = "tensor " + std::to_string(i) + " is not named \"" + name + "\"";
        } else if (got.elementType != want.elementType) {
            problem = "\"" + name + "\" has element type " + std::to_string(got.elementType) + " instead of " +
                      std::to_string(want.elementType);
        } else if (got.rank != want.rank || (got.rank > 0 && (!got.shape || !want.shape)) ||
                   !std::equal(want.shape, want.shape + want.rank, got.shape)) {
            problem = "\"" + name + "\" has another shape";
        } else if (got.byteSize != want.byteSize || (got.byteSize > 0 && !got.data)) {
            problem = "\"" + name + "\" has " + std::to_string(got.byteSize) + " bytes instead of " +
                      std::to_string(want.byteSize);
        } else {
            continue;
        }
        return false;
    }
    return true;
}

bool isSoundOutputSet(const TensorSet& set, std::string& problem) {
    if (set.count > 0 && !set.tensors) {
        problem = "no tensor array for " + std::to_string(set.count) + " tensors";
        return false;
    }
    for (uint32_t i = 0; i < set.count; ++i) {
        if (!checkTensor(set.tensors[i], i, problem)) return false;
    }
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
