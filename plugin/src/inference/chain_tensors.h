// The tensor-level decisions of stage chaining, free of the engine so that
// tests and the fuzz target can drive them directly:
// - which declared named output of a parent model a Direct child cannot take
//   (the child must declare an input of the same name, element type and
//   64-bit shape for every declared output of the parent; the actual tensors
//   are not compared with the declarations);
// - the deep copy of an output set handed to a Direct child (same id and
//   count; per tensor its own name copy, element type, rank, rank x 4 byte
//   shape copy, byte size and data copy, every block a separate allocation
//   that freeTensorSet releases);
// - the decision of a Conditional child: the first tensor named exactly
//   "Trigger" with element type bool decides, its first data byte non-zero
//   meaning true; such a tensor without data (byte size 0 or null data) is
//   false, and "Trigger" tensors of other element types are passed over.
//
// Pure functions over caller-owned data; thread-safe.
#pragma once

#include <cstddef>
#include <vector>

#include "records/model_details.h"
#include "inference/inference_types.h"

namespace qz::vms_server_plugins::analytics::qzai {

// The first of `parentOutputs` without an equal entry in `childInputs`, or
// null when every one has a match (also when the parent declares none).
const NamedTensorDetails_t* firstUnmatchedOutput(const std::vector<NamedTensorDetails_t>& parentOutputs,
                                                 const std::vector<NamedTensorDetails_t>& childInputs);

// Allocation function of the deep copy; its blocks are released with free().
using ChainAllocator = void* (*)(size_t);

// A deep copy of `set`, or empty when an allocation fails (the partial copy
// is freed) or the set is not sound (a tensor array missing for its count, a
// shape missing for its rank, data missing for its byte size).
TensorSetPtr copyTensorSet(const TensorSet& set, ChainAllocator allocate = nullptr);

// True when the set's deciding "Trigger" tensor is set; false without one.
bool conditionalTrigger(const TensorSet* set);

}  // namespace qz::vms_server_plugins::analytics::qzai
