// Checks a TensorSet returned by the runtime before it travels on: the
// tensor array is present when count > 0, every tensor has a name, a shape
// for its rank without negative dimensions, and data when its byte size is
// not 0. Later stages (chaining's deep copy, the decoders) rely on this.
#pragma once

#include <string>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// False with the first problem found in `problem`.
bool isSoundOutputSet(const TensorSet& set, std::string& problem);

}  // namespace qz::vms_server_plugins::analytics::qzai
