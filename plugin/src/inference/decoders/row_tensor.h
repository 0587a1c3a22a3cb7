// The input tensor of the row-major YOLO decoders (AnchorBasedYolo, YOLO26):
// the first tensor whose name contains "output", else the first float32
// tensor with data; it must be float32 and shaped [1, N, R] or [N, R].
#pragma once

#include <cstdint>

#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct RowTensor {
    const float* data = nullptr;  // N rows of R floats, validated to hold them
    int32_t rows = 0;             // N
    int32_t rowSize = 0;          // R
};

// Picks and checks the tensor, logging one warning with `tag` on failure.
// The caller checks R (its own warning) and then calls checkRowTensorData.
bool pickRowTensor(const char* tag, const TensorSet* input, RowTensor* out, int32_t* index);

// Checks that the picked tensor holds N x R floats.
bool checkRowTensorData(const char* tag, const TensorSet& input, int32_t index,
                        const RowTensor& rows);

}  // namespace qz::vms_server_plugins::analytics::qzai
