#include "host/patience.h"

#include <sched.h>
#include <unistd.h>

namespace qz::test_host {

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QZ_TEST_HOST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QZ_TEST_HOST_SANITIZED 1
#endif

#ifdef QZ_TEST_HOST_SANITIZED
constexpr int kBuildFactor = 4;
#else
constexpr int kBuildFactor = 1;
#endif

int usableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

}  // namespace

int slowness() {
    const int processors = usableProcessors();
    return kBuildFactor * (processors >= 4 ? 1 : processors >= 2 ? 2 : 4);
}

std::chrono::milliseconds patient(std::chrono::milliseconds base) { return base * slowness(); }

}  // namespace qz::test_host
