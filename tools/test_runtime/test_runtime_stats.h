// Counters of the test runtime, read by tests through the extra exports
// test_runtime_get_stats / test_runtime_reset_stats (dlsym on the loaded
// image). Counters accumulate over init/cleanup cycles of one loaded image
// until reset.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TestRuntimeStats {
    uint64_t initCalls;
    uint64_t loadCalls;
    uint64_t cleanupCalls;
    uint64_t modelsLoaded;
    uint64_t enqueueAccepted;      // sets the runtime took ownership of
    uint64_t enqueueRefused;       // sets left with the caller
    uint64_t inputsFreed;          // accepted sets the runtime released
    uint64_t outputsDelivered;     // sets handed out by retrieve
    uint64_t outputsDiscarded;     // undelivered outputs freed by cleanup
    uint64_t maxConcurrentEnqueue; // most enqueue callers seen at once
    uint64_t enqueueWhileNotInitialised;
    uint64_t outputsProduced;      // answers queued for retrieve (injected extras not counted)
    uint64_t retrieveCallsInside;  // retrieve calls in progress now (not reset)
    // Accepted enqueues by model index (indices from 15 up share the last).
    uint64_t enqueueAcceptedByModel[16];
} TestRuntimeStats;

typedef void (*test_runtime_get_stats_fn)(TestRuntimeStats* stats);
typedef void (*test_runtime_reset_stats_fn)(void);
typedef void (*test_runtime_hold_outputs_fn)(int32_t hold);
typedef void (*test_runtime_release_enqueues_fn)(void);
typedef void (*test_runtime_release_inits_fn)(void);

#ifdef __cplusplus
}
#endif
