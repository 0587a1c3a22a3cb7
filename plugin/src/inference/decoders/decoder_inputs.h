// Shape readers, checks and row scans shared by the decoders that read
// several tensors (box-and-score, DETR and distribution decoders).
//
// Every check logs exactly one "Warning! [<tag>] ..." line when it fails;
// the shape readers log nothing (each decoder words its own rank warning).
// Nothing here allocates or throws; all functions are safe from any thread.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "inference/decoders/decoder_math.h"
#include "inference/runtime_api.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Decoders of normalised boxes need the model input size to scale them.
bool checkImageSize(const char* tag, int32_t width, int32_t height);

// [1, N, C] or [N, C]: N rows of C columns. False for any other shape.
// Call after checkTensorShape.
bool readRowMajorShape(const Tensor& t, int32_t* rows, int32_t* columns);

// [1, N] or [N]. False for any other shape. Call after checkTensorShape.
bool readVectorShape(const Tensor& t, int32_t* n);

// checkTensorShape over several tensors, stopping at the first failure.
bool checkTensorShapes(const char* tag, const TensorSet& set, std::initializer_list<int32_t> indices);

// checkTensorData for rows x perRow elements (both at most INT32_MAX).
bool checkTensorRows(const char* tag, const TensorSet& set, int32_t index, int64_t rows,
                     int64_t perRow);

// Boxes [1, N, .] or [N, .] (four values read per row) and per-row scores
// [1, ., K] or [., K] of the box-and-score families, found at the given
// indices: both float32, shapes as stated, each holding N rows.
struct BoxesAndScores {
    const float* boxes;
    const float* scores;
    int32_t rows;     // N, from the boxes
    int32_t columns;  // K, from the scores
};
bool readBoxesAndScores(const char* tag, const TensorSet& set, int32_t boxesIndex, int32_t scoresIndex,
                        BoxesAndScores* out);

// True for a rank-3 tensor [1, ., .] with a shape array.
bool isBatchOfOneRank3(const Tensor& t);

// Index of the first value equal to `value`, -1 when none is.
int32_t firstIndexOf(const float* values, int32_t n, float value);

// The plain class search "best = 0, class = 0; a score strictly above best
// replaces it" over values[0..n) in two steps, so that the class is looked
// up only for rows that pass: bestScoreFromZero is the score it ends with
// (NaN values never win), classWithScore the class (the first of equal
// maxima; 0 when no value is above 0).
inline float bestScoreFromZero(const float* values, int32_t n) { return largestAbove(values, n, 0.0f); }
int32_t classWithScore(const float* values, int32_t n, float best);

// A candidate needs a finite score of at least conf.
inline bool passesThreshold(float score, float conf) {
    return score >= conf && std::isfinite(score);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
