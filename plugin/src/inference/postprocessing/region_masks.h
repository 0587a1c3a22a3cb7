// Region masks: the polygons of a stage that decide which tracked objects of
// a frame are passed on to the later rules and the packets.
//
// A mask is inclusive (type 0), exclusive (type 1) or of another type, which
// takes part in neither test. Its points are x, y pairs in fractions of the
// frame; an odd trailing value is ignored. An object is judged by the bottom
// centre of its box (x + width / 2, y + height): with at least one inclusive
// mask it must lie in one of them, and it must lie in no exclusive mask.
//
// Pure functions over their arguments; objects are read through snapshots.
#pragma once

#include <vector>

#include "records/pipeline_stage.h"
#include "inference/postprocessing/qzai_object.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Even-odd rule with an edge tolerance of 0.0001 on the edge's cross product
// (and its bounding box widened by as much): a point on an edge or a vertex
// is inside. No vertex contains nothing; self-intersecting polygons follow
// the even-odd rule (the overlap of a fold is outside).
bool pointInPolygon(const std::vector<float>& polygon, float px, float py);

// The objects of one class that pass the stage's masks, in the order given.
QzAIObjectList filterObjectsByMask(const QzAIObjectList& objects, const std::vector<InputMask_t>& masks);

}  // namespace qz::vms_server_plugins::analytics::qzai
