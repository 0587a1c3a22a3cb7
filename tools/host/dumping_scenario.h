// The main job's dumping scenario: an "Illegal Dumping" stage watching the
// class "square" with a 1 s threshold, three cameras, and a restart of the
// library in the same data folder between two phases.
//   camera 1: a square standing still: one alert a phase, at its first frame
//             at least 1 s of camera time after the rule first saw it;
//   camera 2: a square standing still, the reference-run button pressed
//             before its first frame: learned as background, never watched,
//             in either phase (the second shows the known boxes file came
//             back);
//   camera 3: a square moving 24 px a frame: it never stays long enough.
// Further cameras repeat the three. Frames follow a scripted camera clock
// (40 ms a round), so nothing expected depends on the machine's speed.
//
// The expected alerts and attributes are worked out from the frames that came
// back with the object, following the rule: "Stationary time" on every
// object packet after the first, equal to the whole seconds since it; one
// alert from 1 s on and again only after more than 5 s; "Dumped Object" from
// the alert on. Called from the main job's thread.
#pragma once

#include "host/main_job.h"

namespace qz::test_host {

// Runs both phases on a rig built from `rigOptions` (the job's model) and
// fills the result: phase 1 gives the camera rows, both phases the events
// table (rows named by phase), the notes the known boxes file after phase 1.
// Throws std::runtime_error when the road does not open.
void runDumpingScenario(const MainJobOptions& options, RoadRigOptions rigOptions, MainJobResult& result);

}  // namespace qz::test_host
