#include "platform/processor_count.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace qz::vms_server_plugins::analytics::qzai {

int32_t usableProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    return static_cast<int32_t>(std::max(std::thread::hardware_concurrency(), 1u));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
