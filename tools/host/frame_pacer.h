// FramePacer: pushes a fixed number of frames to every camera, each camera
// paced by the packets it gets back, as a steady server feed would be when
// the plug-in keeps up.
//
// A camera has at most one frame in flight. Its next frame goes once the
// object packet of the previous one came back, once the plug-in refused the
// previous one at intake (counted as refused), or at once when the previous
// one was not expected to give a packet. A frame whose packet has not come
// after `lostAfter` is counted as lost and the camera moves on, so the run
// never waits for a packet that cannot come. In each round of pushes the
// cameras go in the order of their last admitted frame, the longest ago
// first, so when the plug-in has room for only some of the cameras its
// refusals spread evenly over them. When every camera
// waits on a refusal, the pacer sleeps one camera period on the recorder
// before the next push.
//
// Refusals are read from the plug-in's log: sendInputMessage refuses on the
// host's pushing thread, so the refusal lines that appear while one frame is
// pushed belong to that frame. IntakeRefusals tails the log files in the
// plug-in's data directory; the log must run at the verbose level
// (logVerbosity=2) for every refusal reason to be written.
//
// Everything here runs on the one thread that pushes frames.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/recorder.h"

namespace qz::test_host {

// Counts the log lines saying the plug-in refused a frame at intake.
class IntakeRefusals {
public:
    explicit IntakeRefusals(std::string logDirectory);
    // Refusal lines written since the object was made.
    size_t count();

private:
    struct Tail {
        std::string path;
        uint64_t offset = 0;
        std::string partial;
    };
    void read(Tail& tail);

    Tail m_start;
    Tail m_main;
    size_t m_count = 0;
};

struct PacedCamera {
    size_t pushed = 0;
    size_t refused = 0;      // refused at intake
    size_t notExpected = 0;  // pushed, expected to give no object packet
    size_t delivered = 0;    // object packet came back
    size_t lost = 0;         // neither refused nor delivered within lostAfter

    // Delivered share of the frames that were accepted and should have
    // given a packet (1 when there were none).
    double deliveredShare() const {
        const size_t due = delivered + lost;
        return due ? static_cast<double>(delivered) / static_cast<double>(due) : 1.0;
    }
};

struct PacerScript {
    std::vector<std::string> deviceIds;
    int firstFrame = 0;  // frame numbers firstFrame .. firstFrame + frames - 1
    int frames = 0;
    std::chrono::milliseconds lostAfter{1000};
    std::chrono::milliseconds period{40};  // wait when nothing is in flight
    // Pushes frame `frame` of camera `camera` and returns its timestamp.
    std::function<int64_t(int camera, int frame)> push;
    // Whether the frame should give an object packet.
    std::function<bool(int camera, int frame)> expectsPacket;
};

std::vector<PacedCamera> paceFrames(Recorder& recorder, IntakeRefusals& refusals, const PacerScript& script);

}  // namespace qz::test_host
