// Small free functions shared by the inference side and the engine: element
// type names and sizes, box overlap, mapping a decoded box back to the camera
// frame, float comparison and the model-family table.
//
// All functions are safe to call from any thread. The family table is the
// only state; it is built once on first use and only read afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

struct InferenceInput_t;

// Which built-in decoder turns a model's raw outputs into detections.
enum ModelArchitecture : int32_t {
    kAnchorFreeYolo = 0,
    kAnchorBasedYolo = 1,
    kYolo26 = 2,
    kYoloNas = 3,
    kRtDetr = 4,
    kRfDetr = 5,
    kSsd = 6,
    kEfficientDet = 7,
    kNanoDet = 8,
    kYolov8DeepX = 9,
};

// A box as left, top, width and height in one unit.
struct BoxXywh {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
};

// Element-type code of a declared input/output type name ("float", "UINT8",
// "int", ...). Exact and case-sensitive; unknown names give 0.
int32_t dataTypeFromString(std::string name);

// Bytes per element of a tensor element type; 0 for types without a fixed
// size or unknown codes.
uint32_t elementSizeOf(uint32_t elementType);

// Intersection over union of two boxes; 0 when they do not overlap or the
// union is not positive.
float computeIoU(const BoxXywh& a, const BoxXywh& b);

// Maps corners (x1, y1, x2, y2) in model-input pixels (or model-input
// fractions when all four are below 1) to a box in fractions of the camera
// frame, undoing the stage's resize and the request's crop region. Reads the
// frame size, the region, the stage's resizing method and its model's input
// size. Zero sizes give a degenerate box (not finite, or of zero size); a
// request without a stage or model details gives NaN. Callers skip boxes
// that are not finite.
BoxXywh convertBoxToFrame(std::shared_ptr<InferenceInput_t> request, float x1, float y1, float x2,
                          float y2);

// |a - b| < 1e-6.
bool floatEquals(float a, float b);

// The ModelArchitecture of a model-family name; '-' and '_' are ignored and
// ASCII letters compared without case. An empty name gives 0 and counts as
// found; an unknown name gives 0 and sets *found to false. found may be null.
int32_t isKnownModelFamily(const std::string& name, bool* found);

}  // namespace qz::vms_server_plugins::analytics::qzai
