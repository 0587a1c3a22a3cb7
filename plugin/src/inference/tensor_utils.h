// Release of runtime tensor sets: every block of a set is a separate malloc
// allocation (see inference/runtime_api.h).
#pragma once

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Frees the name, shape and data of every tensor, then the tensor array, and
// sets the count to 0. The set record itself is freed by the caller. A null
// set or a null tensor array is skipped.
void freeTensorSet(TensorSet* set);

}  // namespace qz::vms_server_plugins::analytics::qzai
