// Line crossing: counts per device the tracked objects whose box centre
// crossed the stage's line from one side to the other, and reports the
// running totals ("Left: L\nRight: R") once either is non-zero.
//
// Geometry, in frame fractions with y downwards, for the line P1 -> P2 and
// d = P2 - P1: side = dx (cy - y1) - dy (cx - x1); a crossing to a positive
// side counts left, to a negative side right. A crossing counts only when the
// centre projects strictly between the end points before and after
// (segment product < 0), so passing around an end counts nothing.
//
// A sighting exactly on the line (side 0) never counts and keeps the
// remembered side, so left, on the line, right counts once. A sighting older
// than the track's record (an out-of-order frame) is ignored. Tracks not seen
// for more than a second are forgotten. The totals start at 0 on the
// device's first pass.
//
// The whole rule runs under the state's lineCrossingLock; objects are read
// through snapshots and never written.
#pragma once

#include <memory>

#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

EventPtr detectLineCrossing(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                            const ObjectsByClass& objects);

}  // namespace qz::vms_server_plugins::analytics::qzai
