// The engine's runtime loop with packages served by the cloud stub: a
// reselection removes the runtime and tells the host, a choice installs the
// next package, and releasing a camera does not cancel an installation.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <fstream>

#include "engine/support/engine_fixture.h"
#include "runtimes/support/package_builder.h"
#include "runtimes/support/package_repository.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace qz::engine_test;

namespace {

std::string packagePath() {
    utsname names{};
    uname(&names);
    return std::string("/PELM/runtimes/2.0.0/CPU/") + names.machine + "/Linux/library.tar.gz";
}

json runtimeInformation(EngineHarness& host) {
    const json document = host.server().serverDocument();
    const auto parameters = document.find("parameters");
    if (parameters == document.end() || !parameters->contains("qzAI")) return nullptr;
    const json& qzAI = (*parameters)["qzAI"];
    return qzAI.contains("runtimeInformation") ? qzAI["runtimeInformation"] : json();
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class EngineRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { CloudStub::instance().reset(); }
    void TearDown() override { CloudStub::instance().reset(); }
};

}  // namespace

TEST_F(EngineRuntimeTest, ReselectThenChooseInstallsTheNextPackage) {
    qz::test::PackageBuilder builder;
    builder.file("RuntimeLibrary.dll", "second library", 0755).file("runtime_args.json", R"({"name": "Second"})");
    const std::string package = builder.build();
    auto asked = std::make_shared<std::atomic<bool>>(false);
    CloudStub::instance().route("GET", packagePath(), [package, asked](const httplib::Request&, httplib::Response& response) {
        *asked = true;
        CloudStub::instance().server().waitForRelease();
        response.set_header("X-Checksum-Md5", qz::test::md5Hex(package));
        response.set_content(package, "application/gzip");
    });
    EngineHarness host;
    host.addCamera("cam1", "Gate", json::object());
    auto& runtimes = host.engine().runtimesManager();
    ASSERT_TRUE(host.waitUntil([&] { return runtimes.state() == qzai::RuntimeState::Ready; }));
    const fs::path folder = fs::path(host.dataDir()) / "inference_engine";

    host.press("cam1", "reselectRuntimeButton");
    ASSERT_TRUE(host.waitUntil([&] { return runtimes.state() == qzai::RuntimeState::AwaitingSelection; }));
    EXPECT_FALSE(fs::exists(folder / "RuntimeLibrary.dll"));
    EXPECT_FALSE(fs::exists(folder / "installed_runtime.txt"));
    EXPECT_EQ(runtimeInformation(host), (json{{"runtime", ""}, {"mimeType", ""}}));

    // Releasing a camera during the installation does not cancel it.
    host.addCamera("cam2", "Yard", json::object());
    host.press("cam1", "libraryChoice_Generic CPU");
    ASSERT_TRUE(host.waitUntil([&] { return asked->load(); }));
    host.releaseCamera("cam2");
    CloudStub::instance().server().release();
    ASSERT_TRUE(host.waitUntil([&] { return runtimeInformation(host).value("runtime", "") == "Generic CPU"; },
                               std::chrono::seconds(20)));
    EXPECT_EQ(runtimes.state(), qzai::RuntimeState::Ready);
    EXPECT_FALSE(runtimes.downloadCancelled());
    EXPECT_EQ(runtimeInformation(host)["mimeType"], "application/x-onnx");
    EXPECT_EQ(readFile(folder / "RuntimeLibrary.dll"), "second library");
    EXPECT_EQ(readFile(folder / "installed_runtime.txt"), "Generic CPU");
    EXPECT_EQ(CloudStub::instance().count("GET", packagePath()), 1u);
}
