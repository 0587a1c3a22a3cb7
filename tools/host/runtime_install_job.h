// The main job's runtime installation: the road serves the test runtime from
// a loopback runtime repository, and the job chooses "Generic CPU" on the
// first camera's settings page the way a user would, until the plug-in has
// downloaded, checked and unpacked the package and reported the runtime to
// the server. Called from the main job's one thread.
#pragma once

#include <cstdio>
#include <string>

#include "host/road_rig.h"

namespace qz::test_host {

struct RuntimeInstallSummary {
    bool used = false;      // the road installed its runtime through the plug-in
    int presses = 0;        // choices sent until the package was served
    double installMs = 0;   // from the first choice to the runtime reported to the server
    size_t packageBytes = 0;
    std::string md5;
    std::string reportedRuntime;  // runtimeInformation.runtime on the server
    std::string reportedMimeType;
};

// Throws std::runtime_error when the runtime is not reported within 60 s.
RuntimeInstallSummary installRuntimeThroughChoice(RoadRig& rig, FILE* log);

void printRuntimeInstallSummary(const RuntimeInstallSummary& summary, FILE* out);

}  // namespace qz::test_host
