// Hard links: a second directory entry for an existing file (link(2)).
// Plain functions; thread-safe.
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

// Creates `linkPath` as a hard link to `targetPath`. An existing file at
// `linkPath` is not replaced. False on failure, with the system's text in
// `error`.
bool createHardLink(const std::string& targetPath, const std::string& linkPath, std::string& error);

}  // namespace qz::vms_server_plugins::analytics::qzai
