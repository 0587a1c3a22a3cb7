#include "inference/decoders/decoder_inputs.h"

#include <cstring>

#include "inference/decoders/decoder_log.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

bool checkImageSize(const char* tag, int32_t width, int32_t height) {
    if (width >= 1 && height >= 1) return true;
    decoderWarning(
        "Warning! [%s] image_width and image_height must be set to scale normalized coordinates to "
        "model input pixel space.\n",
        tag);
    return false;
}

bool readRowMajorShape(const Tensor& t, int32_t* rows, int32_t* columns) {
    if (t.rank == 3 && t.shape[0] == 1) {
        *rows = t.shape[1];
        *columns = t.shape[2];
        return true;
    }
    if (t.rank == 2) {
        *rows = t.shape[0];
        *columns = t.shape[1];
        return true;
    }
    return false;
}

bool readVectorShape(const Tensor& t, int32_t* n) {
    if (t.rank == 2 && t.shape[0] == 1) {
        *n = t.shape[1];
        return true;
    }
    if (t.rank == 1) {
        *n = t.shape[0];
        return true;
    }
    return false;
}

bool checkTensorShapes(const char* tag, const TensorSet& set, std::initializer_list<int32_t> indices) {
    for (const int32_t index : indices) {
        if (!checkTensorShape(tag, set, index)) return false;
    }
    return true;
}

bool checkTensorRows(const char* tag, const TensorSet& set, int32_t index, int64_t rows,
                     int64_t perRow) {
    return checkTensorData(tag, set, index,
                           static_cast<uint64_t>(rows) * static_cast<uint64_t>(perRow));
}

bool isBatchOfOneRank3(const Tensor& t) { return t.rank == 3 && t.shape && t.shape[0] == 1; }

int32_t firstIndexOf(const float* values, int32_t n, float value) {
    for (int32_t i = 0; i < n; ++i) {
        if (values[i] == value) return i;
    }
    return -1;
}

int32_t classWithScore(const float* values, int32_t n, float best) {
    return best > 0.0f ? firstIndexOf(values, n, best) : 0;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
