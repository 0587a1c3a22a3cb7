#include "inference/decoders/row_tensor.h"

#include "inference/decoders/decoder_log.h"
#include "inference/decoders/tensor_check.h"

namespace qz::vms_server_plugins::analytics::qzai {

bool pickRowTensor(const char* tag, const TensorSet* input, RowTensor* out, int32_t* index) {
    int32_t picked = input ? findTensorIndexByName(*input, {"output"}) : -1;
    if (picked < 0) picked = findFirstFloatTensor(input);
    if (picked < 0 || input->tensors[picked].elementType != QZ_ELEMENT_FLOAT32) {
        decoderWarning("Warning! [%s] No FLOAT tensor found in input.\n", tag);
        return false;
    }
    if (!checkTensorShape(tag, *input, picked)) return false;
    const Tensor& t = input->tensors[picked];
    if (t.rank == 3 && t.shape[0] == 1) {
        out->rows = t.shape[1];
        out->rowSize = t.shape[2];
    } else if (t.rank == 2) {
        out->rows = t.shape[0];
        out->rowSize = t.shape[1];
    } else {
        decoderWarning("Warning! [%s] Unexpected tensor rank %d.\n", tag, static_cast<int>(t.rank));
        return false;
    }
    out->data = static_cast<const float*>(t.data);
    *index = picked;
    return true;
}

bool checkRowTensorData(const char* tag, const TensorSet& input, int32_t index,
                        const RowTensor& rows) {
    return checkTensorData(tag, input, index,
                           static_cast<uint64_t>(rows.rows) * static_cast<uint64_t>(rows.rowSize));
}

}  // namespace qz::vms_server_plugins::analytics::qzai
