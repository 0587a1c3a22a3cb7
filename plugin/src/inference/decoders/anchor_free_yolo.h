// Internals of decodeAnchorFreeYolo exposed for tests and benchmarks: the
// class search, its plan of pieces and helpers, and decodes with an injected
// thread count and helper pool.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "inference/decoders/search_helpers.h"
#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Class search over proposals [begin, end) of a channel-major tensor with
// `classes` score channels after the four box channels and n proposals:
// best[i] and cls[i] take the first class whose score is strictly above the
// current best (callers start best at conf and cls at -1). Writes only
// indices in [begin, end).
void findBestClassScores(int32_t begin, int32_t end, int32_t classes, const float* data, int32_t n,
                         float* best, int32_t* cls);

// The automatic thread count of the class search on `processors` usable
// processors: 1 (no helpers) on up to two, where a helper does not pay for
// the processor it takes; min(processors, 4) from three on.
int32_t automaticSearchThreads(int32_t processors);

// How the class search over n proposals of `classes` classes is shared:
// pieces of pieceSize proposals (a multiple of 16, about a quarter million
// scores; the last piece may be shorter), taken by the calling thread and at
// most `helpers` helper threads. With threads > 0, threads - 1 helpers; with
// threads <= 0 (automatic), none below 2^21 scores (smaller outputs stay on
// the calling thread), automaticSearchThreads(usable processors) - 1 from
// there on. Never more helpers than pieces - 1; no pieces when n <= 0.
// With no helpers the decoder searches run after run of 4096 proposals.
struct ClassSearchPlan {
    int32_t pieceSize = 0;
    int32_t pieces = 0;
    int32_t helpers = 0;
};
ClassSearchPlan planClassSearch(int32_t n, int32_t classes, int32_t threads);

// decodeAnchorFreeYolo with the class search planned for `threads` (as
// above) and shared with `helpers`. The result never depends on the thread
// count, on which thread searched which piece, or on helpers failing to
// start. decodeAnchorFreeYolo is this with threads 0 and the process-wide
// helpers.
TensorSet* decodeAnchorFreeYoloWithHelpers(const TensorSet* input, float conf, float iou,
                                           int32_t threads, SearchHelpers& helpers);

// The same with a helper pool of this call's own, whose threads `startThread`
// starts and which are joined before the call returns.
TensorSet* decodeAnchorFreeYoloWithThreads(const TensorSet* input, float conf, float iou,
                                           int32_t threads, const ThreadStarter& startThread);

}  // namespace qz::vms_server_plugins::analytics::qzai
