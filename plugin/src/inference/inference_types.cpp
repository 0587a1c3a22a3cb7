#include "inference/inference_types.h"

#include <cstdlib>

#include "common/tensor_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

void TensorSetDeleter::operator()(TensorSet* set) const {
    if (!set) return;
    freeTensorSet(set);
    std::free(set);
}

bool OutputQueue::push(InferenceOutput&& output) {
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (items.size() < capacity) {
            items.push_back(std::move(output));
            count.fetch_add(1);
            taken = true;
        }
    }
    condition.notify_one();
    return taken;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
