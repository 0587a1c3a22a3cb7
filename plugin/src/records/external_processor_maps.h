// The external processor maps, keyed by processor name.
//
// Ownership: the maps own their records through shared_ptr; the record types
// stay incomplete here (external/processor_config.h defines them). A map is
// filled once when its owner loads the processors and only read afterwards.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

struct ExternalPreprocessor_t;
struct ExternalPostprocessor_t;

// The external processor maps, ordered by name. A record owns a process and a
// receive thread and must keep one address for its whole life (pipeline stages
// point at it), so the maps hold records by shared pointer; this also lets the
// maps be built and destroyed where the record types are incomplete.
using ExternalPreprocessorMap = std::map<std::string, std::shared_ptr<ExternalPreprocessor_t>>;
using ExternalPostprocessorMap = std::map<std::string, std::shared_ptr<ExternalPostprocessor_t>>;

}  // namespace qz::vms_server_plugins::analytics::qzai
