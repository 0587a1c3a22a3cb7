#include "inference/decoders/class_search.h"

#include <cstring>

namespace qz::vms_server_plugins::analytics::qzai {

void searchClassesChannelMajor(int32_t begin, int32_t end, int32_t classes, const float* scores,
                               size_t stride, float* best, int32_t* cls) {
    if (begin >= end) return;

    // Blocks of 16 proposals kept in four 4-lane vectors while every class
    // row passes by: lane-wise "score > best" selects the score and class.
    // Each proposal still sees the classes in order with a strict compare,
    // so the result equals the scalar loop below bit for bit.
    typedef float Floats __attribute__((vector_size(16)));
    typedef int32_t Ints __attribute__((vector_size(16)));
    constexpr int32_t kLanes = 4;
    constexpr int32_t kVectors = 4;
    constexpr int32_t kBlock = kLanes * kVectors;
    int32_t i = begin;
    for (; end - i >= kBlock; i += kBlock) {
        Floats b[kVectors];
        Ints k[kVectors];
        std::memcpy(b, best + i, sizeof b);
        std::memcpy(k, cls + i, sizeof k);
        for (int32_t c = 0; c < classes; ++c) {
            const float* row = scores + static_cast<size_t>(c) * stride + i;
            const Ints classVector = Ints{} + c;
            for (int32_t v = 0; v < kVectors; ++v) {
                Floats s;
                std::memcpy(&s, row + v * kLanes, sizeof s);
                const Ints above = s > b[v];
                b[v] = reinterpret_cast<Floats>((reinterpret_cast<Ints>(s) & above) |
                                                (reinterpret_cast<Ints>(b[v]) & ~above));
                k[v] = (classVector & above) | (k[v] & ~above);
            }
        }
        std::memcpy(best + i, b, sizeof b);
        std::memcpy(cls + i, k, sizeof k);
    }
    for (int32_t c = 0; c < classes; ++c) {
        const float* row = scores + static_cast<size_t>(c) * stride;
        for (int32_t j = i; j < end; ++j) {
            if (row[j] > best[j]) {
                best[j] = row[j];
                cls[j] = c;
            }
        }
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
