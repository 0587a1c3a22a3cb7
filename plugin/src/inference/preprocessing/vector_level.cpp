#include "inference/preprocessing/vector_level.h"

#include <algorithm>
#include <atomic>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

VectorLevel processorLevel() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return VectorLevel::Avx2;
#endif
    return VectorLevel::Baseline;
}

std::atomic<VectorLevel> cap{VectorLevel::Avx2};

}  // namespace

VectorLevel vectorLevel() {
    static const VectorLevel processor = processorLevel();
    return std::min(processor, cap.load(std::memory_order_relaxed));
}

void capVectorLevel(VectorLevel level) { cap.store(level, std::memory_order_relaxed); }

}  // namespace qz::vms_server_plugins::analytics::qzai
