#include "host/runtime_install_job.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "host/runtime_repository.h"

namespace qz::test_host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPressInterval = std::chrono::milliseconds(250);
constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr auto kInstallBound = std::chrono::seconds(60);
constexpr const char* kRuntime = "Generic CPU";

// runtimeInformation as the plug-in last sent it to the server.
std::pair<std::string, std::string> reportedRuntime(TestHost& host) {
    const nlohmann::json document = host.server().serverDocument();
    const nlohmann::json* info = nullptr;
    if (document.contains("parameters") && document["parameters"].is_object() &&
        document["parameters"].contains("qzAI") && document["parameters"]["qzAI"].is_object()) {
        const auto& qzAI = document["parameters"]["qzAI"];
        if (qzAI.contains("runtimeInformation")) info = &qzAI["runtimeInformation"];
    }
    if (!info || !info->is_object()) return {};
    return {info->value("runtime", ""), info->value("mimeType", "")};
}

}  // namespace

RuntimeInstallSummary installRuntimeThroughChoice(RoadRig& rig, FILE* log) {
    RuntimeInstallSummary summary;
    const RuntimeRepository* repository = rig.runtimeRepository();
    if (!repository) return summary;
    summary.used = true;
    summary.packageBytes = repository->packageSize();
    summary.md5 = repository->md5();
    TestHost& host = rig.host();
    const std::string camera = rig.cameraIds().front();
    if (log) std::fprintf(log, "runtime package served at %s%s; choosing %s...\n", repository->base().c_str(),
                          repository->packagePath().c_str(), kRuntime);

    // A choice made before the plug-in offers one is ignored, so it is sent
    // again until the package has gone out.
    const auto start = Clock::now();
    const auto deadline = start + kInstallBound;
    auto nextPress = start;
    while (repository->served() == 0) {
        if (Clock::now() > deadline) throw std::runtime_error("the runtime package was not downloaded within 60 s");
        if (Clock::now() >= nextPress) {
            host.pressActiveSetting(camera, std::string("libraryChoice_") + kRuntime);
            ++summary.presses;
            nextPress += kPressInterval;
        }
        std::this_thread::sleep_for(kPoll);
    }
    while (reportedRuntime(host).first != kRuntime) {
        if (Clock::now() > deadline) throw std::runtime_error("the installed runtime was not reported within 60 s");
        std::this_thread::sleep_for(kPoll);
    }
    summary.installMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::tie(summary.reportedRuntime, summary.reportedMimeType) = reportedRuntime(host);
    return summary;
}

void printRuntimeInstallSummary(const RuntimeInstallSummary& summary, FILE* out) {
    if (!summary.used) return;
    std::fprintf(out,
                 "runtime \"%s\" (%s) installed from the loopback repository in %.0f ms: %zu-byte package, MD5 %s, "
                 "%d choice(s) sent\n",
                 summary.reportedRuntime.c_str(), summary.reportedMimeType.c_str(), summary.installMs,
                 summary.packageBytes, summary.md5.c_str(), summary.presses);
}

}  // namespace qz::test_host
