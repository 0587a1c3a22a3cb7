// qz_test_host: loads the plug-in library as the server would, obtains the
// plug-in, the engine and one device agent per camera, pushes frames and
// reports what it obtained and received, then releases everything and
// unloads the library.
//
//   qz_test_host --plugin <libqzai_plugin.so> [--cameras N] [--frames N]
//                [--home-dir DIR] [--ini PATH]
//   qz_test_host --main-job ...   (see host/main_job.h)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/main_job.h"
#include "host/test_host.h"

namespace {

int usage(const char* program) {
    std::fprintf(stderr,
        "usage: %s --plugin <path to libqzai_plugin.so> [--cameras N] [--frames N] [--home-dir DIR] [--ini PATH]\n",
        program);
    return 2;
}

const char* kindName(qz::test_host::RecordedPacket::Kind kind) {
    switch (kind) {
        case qz::test_host::RecordedPacket::Kind::objects: return "objects";
        case qz::test_host::RecordedPacket::Kind::events: return "events";
        case qz::test_host::RecordedPacket::Kind::bestShot: return "best shot";
        default: return "other";
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--main-job") return qz::test_host::mainJobCommand(argc, argv);
    qz::test_host::TestHostOptions options;
    int cameras = 1;
    int frames = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage(argv[0]);
        const std::string value = argv[++i];
        if (arg == "--plugin") options.pluginPath = value;
        else if (arg == "--cameras") cameras = std::atoi(value.c_str());
        else if (arg == "--frames") frames = std::atoi(value.c_str());
        else if (arg == "--home-dir") options.identity.homeDir = value;
        else if (arg == "--ini") options.unitTestOptions["iniPath"] = value;
        else return usage(argv[0]);
    }
    if (options.pluginPath.empty() || cameras < 0 || frames < 0) return usage(argv[0]);

    qz::test_host::TestHost host(options);
    std::string error;
    if (!host.load(&error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", options.pluginPath.c_str(), error.c_str());
        return 1;
    }
    std::printf("library: %s\nsdk version: %s\nhome dir: %s\n", options.pluginPath.c_str(),
        host.sdkVersion().c_str(), host.homeDir().c_str());
    std::printf("integration manifest: %s\n", host.integrationManifest().c_str());
    if (!host.obtainEngine(&error)) {
        std::fprintf(stderr, "cannot obtain the engine: %s\n", error.c_str());
        return 1;
    }
    std::printf("engine manifest: %s\n", host.engineManifest().c_str());

    for (int c = 1; c <= cameras; ++c) {
        char id[40];
        std::snprintf(id, sizeof id, "{00000000-0000-0000-0000-%012d}", c);
        if (!host.addCamera({id, "Camera " + std::to_string(c), "QZ", "test", ""}, &error)) {
            std::fprintf(stderr, "cannot obtain a device agent for %s: %s\n", id, error.c_str());
            return 1;
        }
        std::printf("device agent %s: manifest %s\n", id, host.deviceManifest(id).c_str());
        int accepted = 0;
        for (int f = 0; f < frames; ++f) {
            qz::test_host::FrameLayout layout;
            layout.timestampUs = 1'000'000 + f * 40'000;
            layout.squares.push_back({20 + 8 * f, 40, 32, 235});
            if (host.pushFrame(id, layout).isOk()) ++accepted;
        }
        std::printf("device agent %s: %d of %d frames accepted\n", id, accepted, frames);
    }

    host.recorder().waitForPackets(1, std::chrono::milliseconds(frames > 0 ? 200 : 0));
    const auto packets = host.recorder().packets();
    std::printf("packets received: %zu\n", packets.size());
    for (const auto& packet : packets) {
        std::printf("  %s %s t=%lld items=%zu\n", packet.deviceId.c_str(), kindName(packet.kind),
            static_cast<long long>(packet.timestampUs), packet.items.size());
    }
    std::printf("manifests pushed: %zu\nREST requests: %zu\n", host.recorder().manifests().size(),
        host.server().requests().size());

    const qz::test_host::UnloadReport report = host.unload();
    std::printf("released everything: %zu library objects created, %zu left alive; library %s\n",
        report.objectsCreated, report.objectsLeaked, report.unmapped ? "unloaded" : "still mapped");
    return report.objectsLeaked == 0 && report.unmatchedDestroys == 0 ? 0 : 1;
}
