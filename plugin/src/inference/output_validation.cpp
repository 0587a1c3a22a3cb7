#include "inference/output_validation.h"

namespace qz::vms_server_plugins::analytics::qzai {

bool isSoundOutputSet(const TensorSet& set, std::string& problem) {
    if (set.count > 0 && !set.tensors) {
        problem = "no tensor array for " + std::to_string(set.count) + " tensors";
        return false;
    }
    for (uint32_t i = 0; i < set.count; ++i) {
        const Tensor& t = set.tensors[i];
        const std::string which = "tensor " + std::to_string(i);
        if (!t.name) {
            problem = which + " has no name";
            return false;
        }
        if (t.rank > 0 && !t.shape) {
            problem = which + " has no shape";
            return false;
        }
        for (uint32_t d = 0; d < t.rank; ++d) {
            if (t.shape[d] < 0) {
                problem = which + " has a negative dimension";
                return false;
            }
        }
        if (t.byteSize > 0 && !t.data) {
            problem = which + " has no data for " + std::to_string(t.byteSize) + " bytes";
            return false;
        }
    }
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
