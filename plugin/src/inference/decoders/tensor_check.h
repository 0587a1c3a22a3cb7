// The one validator every decoder runs over a tensor before it reads its
// dimensions or data, and the small lookups decoders use to pick tensors.
//
// A failed check logs exactly one "Warning! [<tag>] ..." line; the decoder
// then returns its empty result. Nothing here allocates or throws.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Tensors a decoder may look at: 0 for a null set or a null tensor array.
uint32_t tensorCount(const TensorSet* set);

// Index of the first tensor with element type float32 and data present, -1
// when there is none.
int32_t findFirstFloatTensor(const TensorSet* set);

// For each fragment in order, the first tensor whose name contains it
// (case-sensitive); the first fragment that matches anything wins. -1 when
// nothing matches.
int32_t findTensorIndexByName(const TensorSet& set, std::initializer_list<const char*> fragments);

// Passes when the shape can be read: a shape array for rank > 0, no negative
// dimension, and a total element count that fits in 64 bits. After it
// passes, any product of the dimensions fits in uint64_t.
bool checkTensorShape(const char* tag, const TensorSet& set, int32_t index);

// Passes when the data is present and holds at least `elements` elements of
// the tensor's element type.
bool checkTensorData(const char* tag, const TensorSet& set, int32_t index, uint64_t elements);

}  // namespace qz::vms_server_plugins::analytics::qzai
