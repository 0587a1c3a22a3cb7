// In-process test fixture for the engine: the plug-in object built from the
// core library, driven through the same SDK interfaces the host uses, with
// the test host's FakeServer, FakeUtilityProvider and Recorder, and one
// process-wide loopback HTTP server playing the cloud and the model
// repository (its address is written into the configuration before the
// first test runs, since the configuration is read once per process).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/support/loopback_http_server.h"
#include "common/support/temp_dir.h"
#include "engine/device_agent.h"
#include "engine/engine.h"
#include "engine/plugin.h"
#include "host/fake_server.h"
#include "host/fake_utility_provider.h"
#include "host/recorder.h"
#include "host/test_frame.h"

namespace qz::engine_test {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

// The process-wide stand-in for the cloud and the model repository. Routes
// are matched by exact path; unknown paths answer 404. Every request is
// recorded with its method, path and headers.
class CloudStub {
public:
    struct Seen {
        std::string method;
        std::string path;
        std::map<std::string, std::string> headers;
    };
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    static CloudStub& instance();

    std::string url(const std::string& path) const { return m_server.url(path); }
    void route(const std::string& method, const std::string& path, Handler handler);
    // Forgets routes and requests; handlers that stall from then on wait for
    // a new release().
    void reset();
    std::vector<Seen> seen() const;
    size_t count(const std::string& method, const std::string& path) const;
    qz::test::LoopbackHttpServer& server() { return m_server; }

private:
    CloudStub();
    void dispatch(const httplib::Request& request, httplib::Response& response);

    qz::test::LoopbackHttpServer m_server;
    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Handler> m_routes;
    std::vector<Seen> m_seen;
};

// AES-256-GCM under a random 12-byte IV: IV, ciphertext, 16-byte tag.
std::string encryptModel(const std::string& key32, const std::string& plaintext);
std::string base64(const std::string& bytes);

// A model served by the cloud stub at /models/<id> with its key.
struct ServedModel {
    std::string id;
    std::string key = std::string(32, 'k');
    std::string plaintext = "model bytes";
    std::string body;  // the encrypted bytes served
    nlohmann::json description;  // for a pipeline document
};
ServedModel serveModel(const std::string& id, const std::vector<std::string>& classes);

// A pipeline document {"models": [...], "nodes": [...]}.
nlohmann::json pipelineDocument(const std::vector<ServedModel>& models, nlohmann::json nodes);

class EngineHarness {
public:
    struct Options {
        std::string homeDir;      // empty: a fresh temporary folder
        std::string cloudToken = "cloud-token-1";
        bool runtimeInstalled = true;  // a runtime in the runtime folder, so passes reach the devices
    };

    EngineHarness();
    explicit EngineHarness(Options options);
    ~EngineHarness();

    qzai::Engine& engine() const { return *m_engine; }
    qzai::DeviceAgent& agent(const std::string& id) const;
    qz::test_host::FakeServer& server() { return *m_server; }
    qz::test_host::FakeUtilityProvider& provider() { return *m_provider; }
    qz::test_host::Recorder& recorder() { return *m_recorder; }
    const std::string& homeDir() const { return m_home; }
    std::string dataDir() const { return m_home + "/qz_kelvane"; }

    // Registers the device on the fake server with this "qzAI" object and
    // obtains its agent.
    void addCamera(const std::string& id, const std::string& name, const nlohmann::json& qzAI);
    void setDeviceParameters(const std::string& id, const nlohmann::json& qzAI);
    void releaseCamera(const std::string& id);
    // Sends settings as the host does; returns the settings model text.
    std::string sendSettings(const std::string& id, const std::map<std::string, std::string>& settings);
    // Asks for the settings model as the host does when it opens the page.
    std::string settingsModel(const std::string& id);
    // Presses a button; returns the action address (empty when none).
    std::string press(const std::string& id, const std::string& name);
    void pushFrame(const std::string& id, int64_t timestampUs);

    // Waits for one complete loop pass after the call.
    void waitForPass();
    // Polls `condition` (with passes in between) up to `timeout`, stretched
    // with a sanitised build and few processors (host/patience.h).
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Releases everything (also done by the destructor).
    void shutdown();

private:
    Options m_options;
    std::unique_ptr<qz::test::TempDir> m_ownedHome;
    std::string m_home;
    std::shared_ptr<qz::test_host::FakeServer> m_server;
    std::shared_ptr<qz::test_host::Recorder> m_recorder = std::make_shared<qz::test_host::Recorder>();
    qz::sdk::Ptr<qz::test_host::FakeUtilityProvider> m_provider;
    qz::sdk::Ptr<qzai::Plugin> m_plugin;
    qz::sdk::Ptr<qzai::Engine> m_engine;
    std::map<std::string, qz::sdk::Ptr<qzai::DeviceAgent>> m_agents;
};

int64_t nowUs();

// A figure setting's value: the figure with `points` (a JSON array of points).
inline std::string figure(const std::string& points) { return R"({"figure": {"points": )" + points + "}}"; }

}  // namespace qz::engine_test
