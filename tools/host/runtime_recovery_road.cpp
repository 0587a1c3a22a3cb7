#include "host/runtime_recovery_road.h"

#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/patience.h"

namespace qz::test_host {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

}  // namespace

size_t roadLogCount(const RoadRig& rig, const std::string& fragment) {
    std::ifstream in(fs::path(rig.dataDirectory()) / "qzai_plugin_start.log");
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(fragment) != std::string::npos;
    return n;
}

TestRuntimeStats loadedRuntimeStats(const RoadRig& rig) {
    TestRuntimeStats stats{};
    const std::string path = (fs::path(rig.dataDirectory()) / "inference_engine" / "RuntimeLibrary.dll").string();
    if (void* image = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        if (auto get = reinterpret_cast<test_runtime_get_stats_fn>(dlsym(image, "test_runtime_get_stats"))) get(&stats);
        dlclose(image);
    }
    return stats;
}

RecoveryRoadResult runRuntimeRecoveryRoad(const RoadRigOptions& base, int answersPerRun) {
    RecoveryRoadResult result;
    result.answersPerRun = answersPerRun;
    try {
        RoadRigOptions options = base;
        options.cameras = 1;
        options.cropBox[0] = options.cropBox[1] = options.cropBox[2] = options.cropBox[3] = 0.0f;
        options.modelDescriptor = nlohmann::json{
            {"mode", "find_squares"}, {"output_name", RoadRig::kOutputName}, {"class", 0}, {"score", 0.9}}.dump();
        options.runtimeArgs["retrieve_error_after"] = std::to_string(answersPerRun);
        RoadRig rig(options);
        const std::string camera = rig.cameraIds()[0];
        Recorder& recorder = rig.host().recorder();
        auto objectPackets = [&] {
            size_t n = 0;
            for (const RecordedPacket& packet : recorder.packets(camera)) n += packet.kind == RecordedPacket::Kind::objects;
            return n;
        };
        // Frames 150 ms apart in their stamps (so that a track is reported
        // from its third sighting, within the few answers a runtime gives
        // between failures), each pushed once the previous
        // one came back or 200 ms passed (a frame offered while the runtime
        // is down gets no answer).
        int64_t timestampUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        auto pushFrame = [&] {
            FrameLayout frame;
            frame.width = 320;
            frame.height = 240;
            frame.timestampUs = timestampUs += 150000;
            frame.squares = {{80, 60, 96, 235}};
            rig.host().pushFrame(camera, frame);
            const int64_t stamp = timestampUs;
            recorder.waitUntil(
                [&](const std::vector<RecordedPacket>& packets) {
                    for (const RecordedPacket& packet : packets)
                        if (packet.kind == RecordedPacket::Kind::objects && packet.timestampUs == stamp) return true;
                    return false;
                },
                std::chrono::milliseconds(200));
        };
        const char* failure = "Warning! Runtime gave error";
        const auto deadline = Clock::now() + patient(std::chrono::seconds(60));
        auto pushUntil = [&](auto done) {
            while (!done()) {
                if (Clock::now() > deadline) return false;
                pushFrame();
            }
            return true;
        };
        if (!pushUntil([&] { return roadLogCount(rig, failure) >= 1; })) throw std::runtime_error("the runtime never failed");
        result.packetsBeforeFailure = objectPackets();
        // The second failure comes after the cameras were set up, when only
        // the restart of a failed runtime can bring it back.
        if (!pushUntil([&] { return roadLogCount(rig, failure) >= 2; }))
            throw std::runtime_error("the runtime did not come back after its first failure");
        const size_t atLastFailure = objectPackets();
        // A packet already on its way at the failure may still arrive: the
        // road has recovered once a packet follows the runtime's restart.
        if (!pushUntil([&] { return loadedRuntimeStats(rig).initCalls >= 3; }))
            throw std::runtime_error("the runtime was not restarted after its second failure");
        const size_t atRestart = objectPackets();
        result.ok = pushUntil([&] { return objectPackets() > atRestart; });
        if (!result.ok) result.error = "no packet came back after the runtime's second failure";
        result.packetsAfterRecovery = objectPackets() - atLastFailure;
        result.failures = roadLogCount(rig, failure);
        result.restarts = roadLogCount(rig, "Restarting the AI runtime after a failure");
        result.noticesRaised = roadLogCount(rig, "RUNTIME_INIT_FAILED: The AI runtime stopped with an error");
        result.runtimeInits = loadedRuntimeStats(rig).initCalls;
        result.objectsLeaked = rig.host().unload().objectsLeaked;
    } catch (const std::exception& e) {
        result.ok = false;
        result.error = e.what();
    }
    return result;
}

void printRecoveryRoadResult(const RecoveryRoadResult& result, FILE* out) {
    std::fprintf(out, "\nruntime recovery (the test runtime fails after every %d answers):\n", result.answersPerRun);
    if (!result.error.empty()) std::fprintf(out, "  failed: %s\n", result.error.c_str());
    std::fprintf(out,
                 "  runtime failures: %zu, restarted by the engine loop: %zu, runtime inits: %llu, "
                 "notices raised: %zu\n",
                 result.failures, result.restarts, static_cast<unsigned long long>(result.runtimeInits),
                 result.noticesRaised);
    std::fprintf(out, "  object packets before the first failure: %zu, after the last one: %zu%s\n",
                 result.packetsBeforeFailure, result.packetsAfterRecovery,
                 result.ok ? " (back with no setting touched)" : "");
}

}  // namespace qz::test_host
