// The road through an external processor: one camera, frames with a small
// and a big bright square placed off-centre, the test runtime finding them
// as two classes ("square" and "big" by size), and the test peer qz_peer as
// the stage's external processor, over shared memory or TCP.
//
// Modes and what the packets must then show:
//   none        no processor: both squares as drawn
//   flip        image pre-processor mirroring the frame: both squares mirrored
//   tensorflip  tensor pre-processor mirroring the model input: the same
//   dropclass   tensor post-processor dropping class 1: the small square only
//   drop        objects post-processor dropping "big", setting an attribute,
//               adding an event and a best shot: the small square only
//
// A frame counts as answered by the processor when its packet matches the
// processor's expectation better than the drawn squares. Called from one
// thread; the result is plain data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "host/road_rig.h"

namespace qz::test_host {

struct ExternalProcessorRoadOptions {
    std::string pluginPath;
    std::string runtimePath;
    std::string peerPath;     // qz_peer
    std::string mode = "flip";
    std::string transport = "shm";  // or "tcp"
    std::string resizing = "Stretch";
    int frames = 12;
    int width = 320;
    int height = 240;
    uint64_t timeoutMs = 2000;   // the processor's "TimeoutMs"
    std::string peerOptions;     // more ":key=value" options of the peer, e.g. ":crashafter=20"
    std::string peerBehaviour;   // replaces the mode's behaviour when set
    // After the frames, push a few more without waiting and unload the
    // library with their exchanges in flight.
    bool unloadInFlight = false;
    // What a misbehaving processor costs the host: its CPU time over one idle
    // second after the frames, its resident private memory from the fourth
    // frame's packet (the host's frame pools filled) to the last, then the
    // unload as with unloadInFlight.
    bool hostCosts = false;
    std::string countLine;  // counts the plug-in's log lines holding this text
};

struct ExternalProcessorRoadResult {
    bool ok = false;  // the road ran (not a judgement of the figures)
    std::string error;
    size_t framesPushed = 0;
    size_t packets = 0;              // object packets of pushed frames
    size_t processorAnswered = 0;    // frames whose packet shows the processor's answer
    size_t unchanged = 0;            // frames whose packet shows the drawn squares
    double meanIou = 0.0;            // answered frames against the processor's expectation
    double meanIouUnchanged = 0.0;   // unchanged frames against the drawn squares
    size_t firstUnchangedAfterAnswer = 0;  // frame index; 0: none
    size_t attributesSeen = 0;       // objects carrying the peer's attribute
    size_t peerEvents = 0;           // events the peer added
    size_t bestShots = 0;
    std::set<std::string> smallTrackIds;  // distinct track ids of the small square in answered frames
    size_t crashLines = 0;           // the plug-in's lines about the child's crash
    // With unloadInFlight or hostCosts: the unload's time, and what it left
    // of the processor children (alive or zombie) and of their shared-memory
    // segments (names in /dev/shm, or segments still open in this process).
    int64_t unloadMs = 0;
    size_t childrenBeforeUnload = 0;
    size_t childrenLeft = 0;
    size_t shmNamesLeft = 0;
    int64_t slowestPacketMs = 0;     // longest wait for a frame's packet, among frames that got one
    // Per frame, in milliseconds from the first frame's push: when it was
    // pushed, and when its packet showing the processor's answer came (-1:
    // none, or not pushed).
    std::vector<int64_t> pushedAtMs;
    std::vector<int64_t> answeredAtMs;
    // With hostCosts.
    double idleCpuSeconds = 0.0;     // CPU time of this process over one idle second
    double residentGrowthMb = 0.0;
    size_t countedLines = 0;         // log lines holding options.countLine
};

ExternalProcessorRoadResult runExternalProcessorRoad(const ExternalProcessorRoadOptions& options);

void printExternalProcessorRoadResult(const ExternalProcessorRoadOptions& options,
                                      const ExternalProcessorRoadResult& result, FILE* out);

// Exit code 0 when the processor answered and its mean IoU is at least 0.9.
bool externalProcessorRoadPassed(const ExternalProcessorRoadResult& result);

}  // namespace qz::test_host
