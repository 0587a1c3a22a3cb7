#include <cmath>
#include <vector>

#include "inference/decoders/decoder_log.h"
#include "inference/decoders/decoders.h"
#include "inference/decoders/result_set.h"
#include "inference/decoders/row_tensor.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
constexpr const char* kYolo26Tag = "YOLO26";
constexpr int32_t kRowSize = 6;
}  // namespace

TensorSet* decodeYolo26(const TensorSet* input, float conf) {
    const uint32_t id = input ? input->id : 0;
    RowTensor t;
    int32_t index = -1;
    if (!pickRowTensor(kYolo26Tag, input, &t, &index)) return makeEmptyResult(id);
    if (t.rowSize != kRowSize) {
        decoderWarning("Warning! [YOLO26] Expected row size 6, got %d.\n", t.rowSize);
        return makeEmptyResult(id);
    }
    if (!checkRowTensorData(kYolo26Tag, *input, index, t)) return makeEmptyResult(id);

    // Rows are copied as the model wrote them, class value included.
    std::vector<float> rows;
    rows.reserve(256 * kRowSize);
    for (int32_t r = 0; r < t.rows; ++r) {
        const float* row = t.data + static_cast<size_t>(r) * kRowSize;
        if (row[4] >= conf && std::isfinite(row[4])) rows.insert(rows.end(), row, row + kRowSize);
    }
    const size_t count = rows.size() / kRowSize;
    decoderVerbose("[YOLO26] %d detections above threshold.\n", static_cast<int>(count));
    return makeDetectionResult(id, rows.data(), count);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
