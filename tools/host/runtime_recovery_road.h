// The main job's road through a runtime that fails while running: the test
// runtime reports a retrieve error after every few answers, and the plug-in's
// engine loop must bring it back with no setting touched. One camera pushes a
// still square, one frame at a time, until the runtime failed twice and
// packets came back after the last failure (or a minute passed).
//
// Called from one thread; the result is plain data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/road_rig.h"
#include "test_runtime/test_runtime_stats.h"

namespace qz::test_host {

struct RecoveryRoadResult {
    bool ok = false;  // packets came back after the runtime's last failure
    std::string error;
    int answersPerRun = 0;            // retrieve fails after this many answers
    size_t failures = 0;              // "Runtime gave error" lines
    size_t restarts = 0;              // restarts of a failed runtime by the engine loop
    size_t noticesRaised = 0;         // RUNTIME_INIT_FAILED raised for a stopped runtime
    uint64_t runtimeInits = 0;        // init calls the runtime saw
    size_t packetsBeforeFailure = 0;  // object packets before the first failure
    size_t packetsAfterRecovery = 0;  // object packets after the last failure
    size_t objectsLeaked = 0;
};

// `options` gives the plug-in, the runtime and the ini; cameras and the model
// are the road's own.
RecoveryRoadResult runRuntimeRecoveryRoad(const RoadRigOptions& options, int answersPerRun = 3);

void printRecoveryRoadResult(const RecoveryRoadResult& result, FILE* out);

// Lines of the rig's plug-in log (its start log) that contain the fragment.
size_t roadLogCount(const RoadRig& rig, const std::string& fragment);
// The counters of the runtime image the plug-in loaded from the rig; zeros
// once the plug-in has unloaded it.
TestRuntimeStats loadedRuntimeStats(const RoadRig& rig);

}  // namespace qz::test_host
