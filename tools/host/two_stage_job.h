// The main job's two-stage pipeline: a find-squares parent stage and a
// FeatureExtraction child stage on its "square" objects that classifies each
// crop by its brightness ("dim" below 185, "bright" from 185).
//
// Each camera draws four squares in parallel lanes (never overlapping), two
// at luma 235 and two at 170 in a per-camera order, on background 16, all
// moving along their lanes. Ground truth for a child object is the drawn
// square it overlaps most in its frame, and that square's luma. With
// MainJobOptions::childPostprocessor the child stage has a tensor
// post-processor, which sees the four crops of a frame under one identity.
//
// Frames go one round at a time, stamped 40 ms apart on a scripted camera
// clock; a round is done when every camera's parent packet and a child
// object for each of its squares came back (a child packet may come before
// or after its parent's). The waits' deadlines scale with the build and the
// processors (host/patience.h). One thread; the result holds plain data only.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/main_job.h"

namespace qz::test_host {

struct TwoStageCameraResult {
    std::string deviceId;
    size_t framesPushed = 0;
    size_t parentObjects = 0;
    double parentMeanIou = 0.0;     // against the drawn squares
    size_t childObjects = 0;
    size_t childClassRight = 0;     // class matches the luma of its square
    double childMeanIou = 0.0;      // against its square
    size_t childTracks = 0;         // distinct track ids of child objects
    size_t childUnknownTimestamps = 0;  // child packets whose timestamp is no pushed frame's
    // Event packets of the camera: the child's category events arrive here
    // once its scores output gives events.
    size_t eventPackets = 0;
};

struct TwoStageResult {
    bool ok = false;  // everything ran
    std::string error;
    std::vector<TwoStageCameraResult> cameras;
    size_t objectsLeaked = 0;
    EventsTable events;  // rates, counts (parent and children), categories

    // Every child class right, every mean IoU at least 0.9, nothing leaked,
    // every row of the events table as expected.
    bool passed() const;
};

TwoStageResult runTwoStageJob(const MainJobOptions& options);
void printTwoStageResult(const TwoStageResult& result, FILE* out);

}  // namespace qz::test_host
