// The main job's external processors: before the engine starts, the data
// folder gets a post-processor and a pre-processor file naming the test peer
// (a child over shared memory each, answering); after the run the job checks
// that the engine loaded both and published their names on the server.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/road_rig.h"
#include "host/test_host.h"

namespace qz::test_host {

struct ProcessorSummary {
    bool ok = false;
    std::vector<std::string> publishedPre;
    std::vector<std::string> publishedPost;
    std::string problem;
};

// Adds the two configuration files to the rig's data folder.
void addExternalProcessorFiles(RoadRigOptions& options);
// What the engine published.
ProcessorSummary checkExternalProcessors(TestHost& host);
void printProcessorSummary(const ProcessorSummary& summary, FILE* out);

}  // namespace qz::test_host
