// Greedy non-maximum suppression over decoder candidates.
//
// Candidates are ranked once by score (highest first; NaN scores last; equal
// scores by candidate index), grouped by class unless class-agnostic, and
// each group is walked greedily: a candidate is kept unless a kept candidate
// ranked above it overlaps it by more than the threshold (strictly). A
// suppressed candidate suppresses nothing. Suppression never crosses classes
// (unless class-agnostic), so grouping gives the same kept set as one walk
// over all candidates. There is no cap on candidates or results.
//
// Pure functions; safe to call from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "inference/decoders/detection.h"

namespace qz::vms_server_plugins::analytics::qzai {

// The overlap applyNonMaximumSuppression uses: intersection (each side
// clamped at 0) over union, 0 when the union is not positive. Inverted or
// empty boxes overlap 0; NaN coordinates give NaN, which suppresses nothing.
float detectionOverlap(const Detection& a, const Detection& b);

// The kept candidates in descending score order (ties by candidate index).
std::vector<Detection> applyNonMaximumSuppression(std::vector<Detection> candidates,
                                                  float iouThreshold, bool classAgnostic);

// How the per-class suppression of AnchorFreeYolo measures overlap: only when
// both intersection sides are positive, otherwise 0. Equal to
// detectionOverlap for boxes of positive size.
float anchorFreeOverlap(const Detection& a, const Detection& b);

// AnchorFreeYolo's suppression: per class, with anchorFreeOverlap. Returns one
// flag per candidate, in candidate order, 1 for kept.
std::vector<uint8_t> anchorFreeKeepFlags(const std::vector<Detection>& candidates,
                                         float iouThreshold);

}  // namespace qz::vms_server_plugins::analytics::qzai
