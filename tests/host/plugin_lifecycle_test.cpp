#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "host/test_host.h"

namespace qz::test_host {
namespace {

using qz::sdk::ErrorCode;

TestHostOptions options() {
    TestHostOptions o;
    o.pluginPath = QZ_PLUGIN_LIBRARY;
    return o;
}

TEST(PluginLifecycle, LoadsUsesAndUnloadsTheLibraryTwiceWithoutLeaks) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        TestHost host(options());
        std::string error;
        ASSERT_TRUE(host.load(&error)) << error;
        EXPECT_STREQ(host.libContext()->name(), "qzai_plugin");  // fresh context each load
        EXPECT_FALSE(host.sdkVersion().empty());
        EXPECT_FALSE(nlohmann::json::parse(host.integrationManifest(), nullptr, false).is_discarded());
        ASSERT_TRUE(host.obtainEngine(&error)) << error;
        EXPECT_FALSE(nlohmann::json::parse(host.engineManifest(), nullptr, false).is_discarded());
        for (const char* id : {"cam-a", "cam-b"}) {
            ASSERT_TRUE(host.addCamera({id, id, "", "", ""}, &error)) << error;
            EXPECT_FALSE(host.deviceManifest(id).empty());
            FrameLayout padded;
            padded.width = 333;
            padded.height = 101;
            padded.lineSizes = {384, 192, 200};
            EXPECT_TRUE(host.pushFrame(id, padded).isOk());
            SettingsReply reply = host.setDeviceSettings(id, {{"deviceActiveSwitch", "true"}});
            EXPECT_EQ(reply.error, ErrorCode::noError);
        }
        host.releaseDeviceAgent("cam-a");
        const UnloadReport report = host.unload();
        EXPECT_GT(report.objectsCreated, 0u);
        EXPECT_EQ(report.objectsLeaked, 0u);
        EXPECT_EQ(report.unmatchedDestroys, 0u);
        EXPECT_TRUE(report.unmapped || report.residentAtLoad);
    }
}

TEST(PluginLifecycle, BadInputFromTheHostIsLoggedAndRefused) {
    TestHost host(options());
    std::string error;
    ASSERT_TRUE(host.load(&error)) << error;
    ASSERT_TRUE(host.obtainEngine(&error)) << error;
    ASSERT_TRUE(host.addCamera({"cam", "cam", "", "", ""}, &error)) << error;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(host.libContext()->setName("again"));
    EXPECT_FALSE(host.libContext()->setRefCountableRegistry(&host.registry()));
    EXPECT_EQ(host.integration()->queryInterface("qz::sdk::INoSuchInterface"), nullptr);
    EXPECT_EQ(host.integration()->queryInterface(nullptr), nullptr);
    host.integration()->setUtilityProvider(nullptr);
    {  // the error messages are library objects: release them before unloading
        qz::sdk::Result<qz::sdk::analytics::IDeviceAgent*> agent;
        host.engine()->obtainDeviceAgent(nullptr, &agent);
        EXPECT_EQ(agent.error().errorCode(), ErrorCode::invalidParams);
        qz::sdk::Result<void> pushed;
        host.deviceAgent("cam")->pushDataPacket(nullptr, &pushed);
        EXPECT_EQ(pushed.error().errorCode(), ErrorCode::invalidParams);
    }
    host.deviceAgent("cam")->pushDataPacket(nullptr, nullptr);
    const std::string log = testing::internal::GetCapturedStderr();

    for (const char* expected : {"[qzai_plugin] ILibContext::setName: the name is already set",
             "the registry is already set", "unknown interface id \"qz::sdk::INoSuchInterface\"",
             "null interface id", "setUtilityProvider: null provider", "[qzai_plugin_engine] IEngine::obtainDeviceAgent: null device info",
             "[qzai_plugin_device_cam] IConsumingDeviceAgent::pushDataPacket: null packet", "null result pointer"}) {
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    }
    const UnloadReport report = host.unload();
    EXPECT_EQ(report.objectsLeaked, 0u);
    EXPECT_TRUE(report.unmapped || report.residentAtLoad);
}

TEST(PluginLifecycle, ARelativeHomeDirectoryIsRefused) {
    TestHostOptions relative = options();
    relative.identity.homeDir = "relative_home";
    std::filesystem::remove_all("relative_home");  // a failed run's leftovers
    TestHost host(relative);
    std::string error;
    ASSERT_TRUE(host.load(&error)) << error;
    EXPECT_FALSE(host.obtainEngine(&error));
    EXPECT_NE(error.find("The host reports a relative home directory: relative_home"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists("relative_home"));
}

TEST(PluginLifecycle, LibraryExportsExactlyTheFourEntryFunctions) {
    const std::string command = std::string("nm -D --defined-only ") + QZ_PLUGIN_LIBRARY;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[1024];
    while (fgets(line, sizeof line, pipe)) {
        char address[64], type[8], name[900];
        if (std::sscanf(line, "%63s %7s %899s", address, type, name) == 3) names.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    EXPECT_EQ(names, (std::set<std::string>{"createQzPlugin", "qzLibContext", "qzSdkVersion", "qzSetUnitTestOptions"}));
}

}  // namespace
}  // namespace qz::test_host
