// Drives the pure parts of stage chaining over one fuzzed output set; aborts
// when they disagree with the set.
#pragma once

#include "inference/runtime_api.h"

void exerciseChainParts(const TensorSet* set);
