// Checks a TensorSet returned by the runtime before it travels on. The
// runtime is outside code: every field of the set is untrusted.
//
// A sound set has a tensor array when count > 0, and every tensor has a name,
// a rank of at most kMaxOutputRank, a shape for that rank without negative
// dimensions, and data when its byte size is not 0. For an element type with
// a known size, the byte size equals the element count (the product of the
// dimensions, 1 for rank 0) times the element size, computed in 64 bits
// without overflow; readers (the decoders, the detection rows, chaining's
// deep copy) size their reads from the shape or the byte size and rely on
// the two agreeing. A tensor of another element type is carried as opaque
// bytes: nothing interprets it, so only its data pointer is checked.
//
// A set that replaces the inputs prepared for the model (a tensor
// pre-processor's answer) must match them: the same tensors in the same
// order, each with the same name, element type, shape and byte size.
//
// Thread-safe: reads its arguments only.
#pragma once

#include <cstdint>
#include <string>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr uint32_t kMaxOutputRank = 8;

// False with the first problem found in `problem`.
bool isSoundOutputSet(const TensorSet& set, std::string& problem);

// False with the first difference in `problem`.
bool matchesInputSet(const TensorSet& replacement, const TensorSet& prepared, std::string& problem);

}  // namespace qz::vms_server_plugins::analytics::qzai
