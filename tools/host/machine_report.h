// What the plug-in found out about this machine, read back from its log in
// the data directory: the machine-info line, the accelerator families' status
// lines and the probes' verdicts. For the main job's summary.
#pragma once

#include <string>
#include <vector>

namespace qz::test_host {

// The lines in log order, without their log heads; empty when the log holds none.
std::vector<std::string> machineReportLines(const std::string& dataDirectory);

}  // namespace qz::test_host
