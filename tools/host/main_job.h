// The main job: the test host drives the real plug-in library end to end on
// this machine, with nothing fetched from outside.
//
// It lays out a data directory with the test runtime (find-squares mode) as
// the installed runtime, serves one encrypted model from a loopback HTTP
// server, offers each camera a one-stage pipeline through the fake REST
// server, pushes YUV 4:2:0 frames with one bright square per camera that
// moves a little every frame, and compares what comes back with what it drew.
//
// After a warm-up, every camera is paced by its own packets (host/frame_pacer.h):
// refused frames are counted and skipped, a packet that does not come within
// a second counts as lost. runMainJob blocks until the last frame came back
// or was given up; it is called from one thread. The report holds plain data
// only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/events_table.h"
#include "host/frame_pacer.h"
#include "host/road_rig.h"
#include "host/runtime_install_job.h"
#include "host/settings_page_check.h"

namespace qz::test_host {

// The road's options (the model descriptor is the job's own find-squares
// model) and the job's frames.
struct MainJobOptions : RoadRigOptions {
    MainJobOptions() { cameras = 3; }
    int frames = 100;  // per camera
    int width = 1920;
    int height = 1080;
    FILE* log = nullptr;  // progress lines; null: quiet
    // "rules": each camera gets a line and masks and its square sweeps back
    // and forth (see host/rules_scenario.h); "dumping": an "Illegal Dumping"
    // stage over two phases with a restart between (host/dumping_scenario.h);
    // empty: the plain run.
    std::string scenario;
    // How the test runtime answers: "rows" (decoded rows), or "ssd" or
    // "rtdetr", raw outputs of those families that the plug-in's built-in
    // decoder turns into rows.
    std::string outputLayout = "rows";
    std::string pipeline = "one-stage";  // or "two-stage" (two_stage_job.h)
    // Dumping scenario: the known boxes file is overwritten with garbage
    // while the library is unloaded between the phases (camera 2 is then
    // watched like camera 1 in the second).
    bool corruptKnownBoxes = false;
    // An external processor road (host/external_processor_road.h) instead of
    // the plain run: "none", "flip" or "drop", over "shm" or "tcp", with the
    // test peer at peerPath.
    std::string externalProcessor = "none";
    std::string processorTransport = "shm";
    std::string peerPath;
    // Two-stage pipeline: the test peer with this behaviour (e.g. "echo",
    // which answers every request with its own bytes) as the child stage's
    // tensor post-processor, over shared memory; empty: none.
    std::string childPostprocessor;
};

struct CameraResult {
    std::string deviceId;
    size_t framesPushed = 0;
    PacedCamera paced;  // pushed, refused, delivered and lost frames of the measured run
    size_t objectPackets = 0;
    size_t otherPackets = 0;
    size_t objects = 0;
    size_t trackIds = 0;           // distinct track ids among the objects
    size_t trackChanges = 0;       // times the reported track id changed between packets
    double meanIou = 0.0;          // of the reported boxes against the drawn squares
    size_t unknownTimestamps = 0;  // packets whose timestamp is no pushed frame's
    size_t wrongTypeIds = 0;       // objects whose type id is not the model class's
};

struct MainJobResult {
    bool ok = false;  // everything ran (not a judgement of the figures)
    std::string error;
    std::string expectedTypeId;
    std::vector<CameraResult> cameras;
    double meanIou = 0.0;  // over every reported object of every camera
    size_t objects = 0;
    size_t objectsLeaked = 0;
    bool interleaved = false;  // packets of one camera arrived out of frame order
    EventsTable events;        // every run: events got against expected
    std::vector<std::string> machineReport;  // the plug-in's machine facts and probe verdicts
    SettingsPageSummary settingsPage;  // the first camera's settings page after the run
    RuntimeInstallSummary runtimeInstall;  // the runtime the plug-in installed at the start
    // Requests the plug-in takes at once (the smaller of
    // MaxNumberConcurrentInferences and MaxNumberConcurrentInputOutputThreads);
    // with more cameras than that, refused frames are expected and are
    // counted apart instead of failing the run.
    int room = 8;
    bool refusalsExpected = false;

    // The run's verdict: it completed, every camera got at least
    // kMinDeliveredShare of its accepted frames back with a mean IoU of at
    // least kMinIou, no camera had more than kMaxRefusedShare of its frames
    // after warm-up refused (unless refusalsExpected; then the refusals
    // spread evenly: no camera's count is further from the mean per camera
    // than kMaxRefusalSpread of that mean, three times its square root (the
    // chance spread of a loaded machine's timing), or kMinRefusalSpread
    // frames),
    // nothing of the library was left alive, and the events table and the
    // settings page are as expected. `why` gets the first failure.
    static constexpr double kMinDeliveredShare = 0.9;
    static constexpr double kMaxRefusedShare = 0.1;
    static constexpr double kMaxRefusalSpread = 0.5;
    static constexpr size_t kMinRefusalSpread = 4;
    static constexpr double kMinIou = 0.9;
    bool passed(std::string* why = nullptr) const;
};

MainJobResult runMainJob(const MainJobOptions& options);

// Intersection over union of a reported box and a box in frame fractions.
double iou(const sdk::analytics::Rect& a, double bx, double by, double bw, double bh);

// Prints the result as a newcomer would want to read it.
void printMainJobResult(const MainJobResult& result, FILE* out);

// Short runs of one camera whose model answers in raw SSD and RT-DETR
// layouts, decoded by the plug-in's built-in decoders; prints one line per
// family and returns whether each reached a mean IoU of at least 0.9.
bool runDecoderRoads(const MainJobOptions& options, FILE* out);

// The command line of the main job:
//   qz_test_host --main-job --plugin <libqzai_plugin.so> --runtime <test runtime>
//                [--cameras N] [--frames N] [--resizing Fit|Stretch|Crop] [--ini PATH]
//                [--scenario rules|dumping] [--pipeline one-stage|two-stage]
//                [--child-postprocessor echo --peer <qz_peer>]  (two-stage)
//                [--runtime-arg key=value]...  (the test runtime's runtime_args.json)
// Exit code 0 when the run passed (MainJobResult::passed) and the decoder
// roads reached their IoU (two-stage: two_stage_job.h).
int mainJobCommand(int argc, char** argv);

}  // namespace qz::test_host
