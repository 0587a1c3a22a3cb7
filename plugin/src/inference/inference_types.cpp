#include "inference/inference_types.h"

#include <cstdlib>

#include "inference/tensor_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

FrameRegion_t regionOfCropBox(const float (&cropBox)[4]) {
    return FrameRegion_t{cropBox[0], cropBox[1], cropBox[2] - cropBox[0], cropBox[3] - cropBox[1]};
}

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
