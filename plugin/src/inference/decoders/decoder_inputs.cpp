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

bool readBoxesAndScores(const char* tag, const TensorSet& set, int32_t boxesIndex, int32_t scoresIndex,
                        BoxesAndScores* out) {
    const Tensor& boxes = set.tensors[boxesIndex];
    const Tensor& scores = set.tensors[scoresIndex];
    if (boxes.elementType != QZ_ELEMENT_FLOAT32 || scores.elementType != QZ_ELEMENT_FLOAT32) {
        decoderWarning("Warning! [%s] boxes or scores tensor is not FLOAT.\n", tag);
        return false;
    }
    if (!checkTensorShapes(tag, set, {boxesIndex, scoresIndex})) return false;
    int32_t boxColumns = 0, scoreRows = 0;
    if (!readRowMajorShape(boxes, &out->rows, &boxColumns)) {
        decoderWarning("Warning! [%s] Unexpected boxes rank %d.\n", tag, static_cast<int>(boxes.rank));
        return false;
    }
    if (!readRowMajorShape(scores, &scoreRows, &out->columns)) {
        decoderWarning("Warning! [%s] Unexpected scores rank %d.\n", tag, static_cast<int>(scores.rank));
        return false;
    }
    // The box count sets the rows read from both tensors (four values per
    // box row whatever its last dimension says); each must hold them.
    if (!checkTensorRows(tag, set, boxesIndex, out->rows, 4) ||
        !checkTensorRows(tag, set, scoresIndex, out->rows, out->columns)) {
        return false;
    }
    out->boxes = static_cast<const float*>(boxes.data);
    out->scores = static_cast<const float*>(scores.data);
    return true;
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
