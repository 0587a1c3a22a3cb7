// Internals of the test runtime: model descriptors and output builders.
//
// A model file is a JSON descriptor:
//   {"mode": "echo" | "detect" | "trigger" | "find_squares" | "classify",
//    "latency_ms": 0,                      // added to the runtime's latency
//    "outputs": ["a", "b"],                // echo: rename output i
//    "output_name": "output0 format:xyxysc",  // detect / find_squares
//    "rows": [[x1, y1, x2, y2, score, class], ...],  // detect
//    "trigger": true, "float_trigger_first": false,  // trigger
//    "trigger_bytes": 1,                   // trigger: 0 gives the bool one no data
//    "levels": [185], "scores_name": "",   // classify (also "output_name", "score")
//    "threshold": 0.5, "min_area": 4, "class": 0, "score": 0.9,  // find_squares
//    "layout": "rows" | "ssd" | "rtdetr"}  // find_squares: raw outputs of that family
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "inference/runtime_api.h"

namespace test_runtime {

enum class Mode { Echo, Detect, Trigger, FindSquares, Classify };

struct Model {
    Mode mode = Mode::Echo;
    int64_t latencyMs = 0;
    std::vector<std::string> outputNames;
    std::string detectionName = "output0 format:xyxysc";
    std::vector<std::array<float, 6>> rows;
    bool triggerValue = true;
    bool floatTriggerFirst = false;
    int64_t triggerBytes = 1;
    std::vector<float> levels;  // classify: ascending brightness levels
    std::string scoresName;     // classify: one-hot scores output when set
    float threshold = 0.5f;
    int64_t minArea = 4;
    float squareClass = 0.0f;
    float squareScore = 0.9f;
    // find_squares: a square whose side (the longer of width and height, in
    // input pixels) is at least this gets class 1; 0 keeps one class.
    int64_t bigSquareSide = 0;
    // find_squares: "rows" answers in "output0 format:xyxysc" rows; "ssd" and
    // "rtdetr" answer with the raw tensors of those model families.
    std::string layout = "rows";
};

// Parses a descriptor; false with a reason in `error` when it is invalid.
bool parseModel(const std::string& text, Model& model, std::string& error);

size_t elementSize(uint32_t elementType);
// Checks a set handed to enqueue; false with a precise reason.
bool validateInput(const TensorSet* set, std::string& error);

// The output of `model` for `input`, every block a separate malloc.
TensorSet* produceOutput(const Model& model, const TensorSet& input);
TensorSet* copySet(const TensorSet& set);
void freeSet(TensorSet* set);

// Rows x1, y1, x2, y2, score, class of the bright blobs in the first image
// tensor of the set ([1,3,H,W] planar or [1,H,W,3] interleaved, float32 or
// uint8), in tensor pixels.
std::vector<std::array<float, 6>> findSquares(const TensorSet& input, const Model& model);

// The mean of (R + G + B) / 3 over the first image tensor of the set (the one
// findSquares reads) and its size in pixels; false without one.
bool imageMean(const TensorSet& input, float& mean, int64_t& width, int64_t& height);

// Classify mode: one row (0, 0, W, H, score, class) covering the first image
// tensor, class = how many levels its mean brightness reaches; no image
// gives no row. With a scores name also a one-hot float32 [1, levels + 1]
// tensor of that name.
TensorSet* classifyOutput(uint32_t id, const TensorSet& input, const Model& model);

// The squares as the raw outputs of an SSD ("boxes" of normalised top, left,
// bottom, right and "scores" with a background column) or RT-DETR
// ("pred_logits" over five columns and "pred_boxes" of normalised centre and
// size) model: ten query rows, the unused ones scoring below 0.25.
TensorSet* familyOutput(uint32_t id, const std::string& layout, const std::vector<std::array<float, 6>>& squares,
    int64_t width, int64_t height);

}  // namespace test_runtime
