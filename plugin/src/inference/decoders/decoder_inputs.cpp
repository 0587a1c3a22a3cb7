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

float largestAbove(const float* values, int32_t n, float start) {
    // Four 4-lane maxima side by side; "v > m ? v : m" keeps m for NaN, so
    // the result is the plain loop's whatever order the values pass in.
    typedef float Floats __attribute__((vector_size(16)));
    constexpr int32_t kLanes = 4;
    auto larger = [](Floats m, Floats v) { return v > m ? v : m; };
    Floats m0 = Floats{} + start;
    Floats m1 = m0, m2 = m0, m3 = m0;
    int32_t i = 0;
    for (; n - i >= 4 * kLanes; i += 4 * kLanes) {
        Floats v[4];
        std::memcpy(v, values + i, sizeof v);
        m0 = larger(m0, v[0]);
        m1 = larger(m1, v[1]);
        m2 = larger(m2, v[2]);
        m3 = larger(m3, v[3]);
    }
    for (; n - i >= kLanes; i += kLanes) {
        Floats v;
        std::memcpy(&v, values + i, sizeof v);
        m0 = larger(m0, v);
    }
    m0 = larger(larger(m0, m1), larger(m2, m3));
    float best = start;
    for (int32_t lane = 0; lane < kLanes; ++lane) {
        if (m0[lane] > best) best = m0[lane];
    }
    for (; i < n; ++i) {
        if (values[i] > best) best = values[i];
    }
    return best;
}

int32_t firstIndexOf(const float* values, int32_t n, float value) {
    for (int32_t i = 0; i < n; ++i) {
        if (values[i] == value) return i;
    }
    return -1;
}

BestScore bestScoreFromZero(const float* values, int32_t n) {
    const float best = largestAbove(values, n, 0.0f);
    // No value above 0 leaves class 0, as the plain loop does.
    if (!(best > 0.0f)) return {best, 0};
    return {best, firstIndexOf(values, n, best)};
}

}  // namespace qz::vms_server_plugins::analytics::qzai
