#include "inference/output_validation.h"

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
