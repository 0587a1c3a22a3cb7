// The main job's events table: per camera and event type id, the events the
// camera received against what the run's script lets one expect.
//   "qz.qzai.fps": between floor(T) and ceil(T) + 1 events, T the seconds
//     between the camera's first and last packet on the host's clock, each
//     with integer rates;
//   "qz.qzai.counted": one per object packet, "\n<class>: <n>\n" with n the
//     squares drawn (a child output: "\n<its square's class>: 1\n");
//   "qz.qzai.category" (two-stage): one per child output, that is per parent
//     object, naming the class of the square under it;
//   "qz.qzai.linecrossing" (rules scenario): from the first expected crossing
//     on, one per frame that came back, with the running totals of its frame;
//   any other type: none.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/events_table.h"
#include "host/recorder.h"
#include "host/rules_scenario.h"

namespace qz::test_host {

struct RunEventFacts {
    std::vector<std::string> deviceIds;     // camera order
    std::map<int64_t, int> frameOfTimestamp;  // every pushed frame
    std::string className = "square";
    size_t squaresPerFrame = 1;
    const RulesScript* rules = nullptr;  // rules scenario only
    // Two-stage pipeline: the squares camera c draws in frame f and the class
    // the child stage gives a square; unset for one stage.
    std::function<std::vector<Square>(int camera, int frame)> squaresAt;
    std::function<std::string(const Square&)> childClass;
    int width = 1920;
    int height = 1080;
    // A scenario's own expectations of camera `camera` (by index), added to
    // the ones above; null: none.
    std::function<void(size_t camera, std::vector<EventExpectation>& expected)> moreExpectations;
};

EventsTable checkRunEvents(const Recorder& recorder, const RunEventFacts& facts);
// checkRunEvents, again each time a packet comes, until the table is as
// expected or `bound` passes (events may trail their objects); the last table.
EventsTable awaitRunEvents(const Recorder& recorder, const RunEventFacts& facts, std::chrono::milliseconds bound);

// True when every object packet has the events packet of its output (the
// counting rule's event), which the plug-in hands over right after it: per
// camera and frame, at least as many events packets as object packets.
bool objectsHaveTheirEvents(const std::vector<RecordedPacket>& packets);

}  // namespace qz::test_host
