// TestHost: drives the plug-in library the way the video management server
// does, for tests and for the main-job command.
//
// load() dlopens the library, sets the context name and the object registry,
// hands over the unit-test options, creates the plug-in and gives it the
// FakeUtilityProvider (REST requests go to the FakeServer). obtainEngine()
// and addCamera() obtain the engine and one device agent per camera with the
// host's handlers set; every packet, manifest and diagnostic event lands in
// recorder(). unload() releases every object in host order (device agents,
// engine, plug-in), stops the fake server, checks the registry and dlcloses;
// the destructor does the same. One load per TestHost. Calls are made from one test thread; the
// recorder and the server may be read from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/fake_server.h"
#include "host/fake_utility_provider.h"
#include "host/object_registry.h"
#include "host/plugin_library.h"
#include "host/recorder.h"
#include "host/test_frame.h"
#include "qz/sdk/helpers/device_info.h"

namespace qz::test_host {

struct TestHostOptions {
    std::string pluginPath;
    HostIdentity identity;  // an empty homeDir gets a fresh temporary folder, removed afterwards
    std::map<std::string, std::string> unitTestOptions;
    std::string contextName = "qzai_plugin";
    // Runs in load() after the unit-test options are handed over and before
    // the plug-in is created (as another host's thread might act then).
    std::function<void()> beforeCreatingPlugin;
};

// A settings response turned into plain data.
struct SettingsReply {
    qz::sdk::ErrorCode error = qz::sdk::ErrorCode::noError;
    std::string errorMessage;
    bool hasResponse = false;
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> errors;
    std::string model;
};

// When unload() has the fake server let go of the REST handlers it still
// holds: before the library is closed, or after it (as a host may do when it
// stops its own server last).
enum class HandlerRelease { beforeUnloading, afterUnloading };

// The outcome of unloading.
struct UnloadReport {
    size_t objectsCreated = 0;
    size_t objectsLeaked = 0;  // library objects still alive when everything was released
    size_t unmatchedDestroys = 0;
    bool unmapped = false;     // the library left the process
    bool residentAtLoad = false;  // it was already in memory when load() began (kept by an earlier unload)
};

class TestHost {
public:
    explicit TestHost(TestHostOptions options);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // False with *error set on failure (nothing stays loaded then).
    bool load(std::string* error);
    bool obtainEngine(std::string* error);
    // Obtains the device agent, sets its handler and registers the device on
    // the fake server.
    bool addCamera(const qz::sdk::DeviceInfoFields& device, std::string* error);

    std::string sdkVersion() const;
    qz::sdk::ILibContext* libContext() const;
    std::string integrationManifest();
    std::string engineManifest();
    std::string deviceManifest(const std::string& deviceId);

    SettingsReply setEngineSettings(const std::map<std::string, std::string>& settings);
    SettingsReply setDeviceSettings(const std::string& deviceId, const std::map<std::string, std::string>& settings);
    SettingsReply pluginSideSettings(const std::string& deviceId);
    // Uses the active item `name` (a button, or a value chosen in a combo
    // box) of the camera's settings page with the given current values,
    // through IConsumingDeviceAgent2; the reply is the settings response the
    // agent answers with, if any.
    SettingsReply pressActiveSetting(const std::string& deviceId, const std::string& name,
                                     const std::map<std::string, std::string>& values = {});

    // Builds a TestFrame and pushes it to the camera's agent.
    qz::sdk::Result<void> pushFrame(const std::string& deviceId, const FrameLayout& layout);

    void releaseDeviceAgent(const std::string& deviceId);
    void releaseAll();
    UnloadReport unload(HandlerRelease handlers = HandlerRelease::beforeUnloading);

    std::vector<std::string> deviceIds() const;
    qz::sdk::analytics::IIntegration* integration() const { return m_integration.get(); }
    qz::sdk::analytics::IEngine* engine() const { return m_engine.get(); }
    qz::sdk::analytics::IConsumingDeviceAgent* deviceAgent(const std::string& deviceId) const;
    Recorder& recorder() { return *m_recorder; }
    FakeServer& server() { return *m_server; }
    FakeUtilityProvider& utilityProvider() { return *m_utilityProvider; }
    ObjectRegistry& registry() { return *m_registry; }
    const std::string& homeDir() const { return m_options.identity.homeDir; }

private:
    TestHostOptions m_options;
    std::filesystem::path m_ownedHomeDir;
    std::unique_ptr<PluginLibrary> m_library;
    bool m_residentAtLoad = false;
    std::shared_ptr<FakeServer> m_server;
    std::shared_ptr<Recorder> m_recorder = std::make_shared<Recorder>();
    qz::sdk::Ptr<FakeUtilityProvider> m_utilityProvider;
    qz::sdk::Ptr<ObjectRegistry> m_registry = qz::sdk::makePtr<ObjectRegistry>();
    qz::sdk::Ptr<qz::sdk::analytics::IIntegration> m_integration;
    qz::sdk::Ptr<qz::sdk::analytics::IEngine> m_engine;
    std::map<std::string, qz::sdk::Ptr<qz::sdk::analytics::IConsumingDeviceAgent>> m_agents;
};

}  // namespace qz::test_host
