#include "inference/tensor_utils.h"

#include <cstdlib>

namespace qz::vms_server_plugins::analytics::qzai {

void freeTensorSet(TensorSet* set) {
    if (!set || !set->tensors) return;
    for (uint32_t i = 0; i < set->count; ++i) {
        Tensor& t = set->tensors[i];
        std::free(t.name);
        std::free(t.shape);
        std::free(t.data);
    }
    std::free(set->tensors);
    set->tensors = nullptr;
    set->count = 0;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
