// Internals of decodeAnchorFreeYolo exposed for tests and benchmarks: the
// class search, its split into slices, and a decode with an injected thread
// count and thread starter.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Class search over proposals [begin, end) of a channel-major tensor with
// `classes` score channels after the four box channels and n proposals:
// best[i] and cls[i] take the first class whose score is strictly above the
// current best (callers start best at conf and cls at -1). Writes only
// indices in [begin, end).
void findBestClassScores(int32_t begin, int32_t end, int32_t classes, const float* data, int32_t n,
                         float* best, int32_t* cls);

struct ProposalSlice {
    int32_t begin;
    int32_t end;
};

// How the class search over n proposals is split for `threads` threads:
// one slice below 2048 proposals, otherwise ceil(n / threads) proposals per
// slice with empty slices left out.
std::vector<ProposalSlice> classSearchSlices(int32_t n, int32_t threads);

// Starts a thread running `work`; may throw like std::thread's constructor.
using ThreadStarter = std::function<std::thread(std::function<void()> work)>;

// decodeAnchorFreeYolo with `threads` search threads (<= 0: min(hardware
// threads, 4), at least 1). Slice 0 runs on the calling thread. A slice whose
// thread cannot be started, and every later slice, also runs on the calling
// thread, so the result never depends on the thread count or on failures.
TensorSet* decodeAnchorFreeYoloWithThreads(const TensorSet* input, float conf, float iou,
                                           int32_t threads, const ThreadStarter& startThread);

}  // namespace qz::vms_server_plugins::analytics::qzai
