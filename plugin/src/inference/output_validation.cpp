#include "inference/output_validation.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Texts are built only for a refusal: this runs on every output.
bool refuse(std::string& problem, uint32_t tensor, const char* what) {
    problem = "tensor " + std::to_string(tensor) + " " + what;
    return false;
}

}  // namespace

bool isSoundOutputSet(const TensorSet& set, std::string& problem) {
    if (set.count > 0 && !set.tensors) {
        problem = "no tensor array for " + std::to_string(set.count) + " tensors";
        return false;
    }
    for (uint32_t i = 0; i < set.count; ++i) {
        const Tensor& t = set.tensors[i];
        if (!t.name) return refuse(problem, i, "has no name");
        if (t.rank > 0 && !t.shape) return refuse(problem, i, "has no shape");
        for (uint32_t d = 0; d < t.rank; ++d) {
            if (t.shape[d] < 0) return refuse(problem, i, "has a negative dimension");
        }
        if (t.byteSize > 0 && !t.data) {
            return refuse(problem, i, ("has no data for " + std::to_string(t.byteSize) + " bytes").c_str());
        }
    }
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
