#include "engine/support/engine_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "common/ini.h"
#include "host/patience.h"
#include "host/test_crypto.h"
#include "qz/sdk/helpers/device_info.h"
#include "qz/sdk/helpers/settings_response.h"
#include "qz/sdk/helpers/string.h"
#include "qz/sdk/helpers/string_map.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qz::engine_test {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The configuration file every engine of this program reads: the cloud stub's
// addresses, and short REST and HTTP time-outs that keep the stall tests quick.
std::string configPath() {
    static const std::string path =
        (fs::temp_directory_path() / ("qzai-engine-tests-" + std::to_string(::getpid()) + ".ini")).string();
    return path;
}

// Writes the configuration once, after static initialisation (so the
// configuration's own globals exist) and before any test reads it.
class ConfigureOnce : public ::testing::Environment {
public:
    void SetUp() override {
        std::ofstream(configPath()) << "HTTPRequestTimeout=1000\n"
                                    << "CloudServiceURL=" << CloudStub::instance().url("/api") << "\n"
                                    << "RuntimeRepositoryURL=" << CloudStub::instance().url("") << "\n"
                                    << "logVerbosity=1\n";
        qzai::setIniPath(configPath());
    }
    void TearDown() override { std::remove(configPath().c_str()); }
};
[[maybe_unused]] ::testing::Environment* const configureOnce = ::testing::AddGlobalTestEnvironment(new ConfigureOnce);

}  // namespace

CloudStub& CloudStub::instance() {
    static CloudStub stub;
    return stub;
}

CloudStub::CloudStub() {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        dispatch(request, response);
    };
    m_server.server().Get(".*", handler);
    m_server.server().Post(".*", handler);
    m_server.start(std::chrono::minutes(10));
}

void CloudStub::dispatch(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Seen seen{request.method, request.path, {}};
        for (const auto& [name, value] : request.headers) seen.headers[name] = value;
        m_seen.push_back(std::move(seen));
        const auto it = m_routes.find({request.method, request.path});
        if (it != m_routes.end()) handler = it->second;
    }
    if (handler) handler(request, response);
    else response.status = 404;
}

void CloudStub::route(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes[{method, path}] = std::move(handler);
}

void CloudStub::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes.clear();
    m_seen.clear();
    m_server.rearm();
}

std::vector<CloudStub::Seen> CloudStub::seen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

size_t CloudStub::count(const std::string& method, const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& s : m_seen) n += (s.method == method && s.path == path) ? 1 : 0;
    return n;
}

std::string encryptModel(const std::string& key32, const std::string& plaintext) {
    const auto sealed = test_host::encryptAes256Gcm(std::vector<uint8_t>(key32.begin(), key32.end()), plaintext);
    return std::string(sealed.begin(), sealed.end());
}

std::string base64(const std::string& bytes) {
    return test_host::base64Encode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

ServedModel serveModel(const std::string& id, const std::vector<std::string>& classes) {
    ServedModel model;
    model.id = id;
    const std::string path = "/models/" + id;
    model.body = encryptModel(model.key, model.plaintext);
    const std::string body = model.body;
    const std::string key = base64(model.key);
    CloudStub::instance().route("GET", path, [body, key](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-Key", key);
        response.set_header("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
        response.set_content(body, "application/octet-stream");
    });
    model.description = {{"UUID", id},
                         {"Name", "Model " + id},
                         {"LastModified", "Tue, 01 Dec 2026 10:00:00 GMT"},
                         {"DownloadURL", CloudStub::instance().url(path)},
                         {"InputDriverDetails", {{"width", 64}, {"height", 64}, {"channels", 3}}},
                         {"Classes", classes}};
    return model;
}

json pipelineDocument(const std::vector<ServedModel>& models, json nodes) {
    json document = {{"models", json::array()}, {"nodes", std::move(nodes)}};
    for (const auto& model : models) document["models"].push_back(model.description);
    return document;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- EngineHarness -----------------------------------------------------------------

EngineHarness::EngineHarness() : EngineHarness(Options{}) {}

EngineHarness::EngineHarness(Options options) : m_options(std::move(options)) {
    if (m_options.homeDir.empty()) {
        m_ownedHome = std::make_unique<qz::test::TempDir>();
        m_home = m_ownedHome->path().string();
    } else {
        m_home = m_options.homeDir;
    }
    if (m_options.runtimeInstalled) {
        const fs::path runtime = fs::path(dataDir()) / "inference_engine";
        fs::create_directories(runtime);
        std::ofstream(runtime / "installed_runtime.txt") << "Generic CPU";
        std::ofstream(runtime / "RuntimeLibrary.dll") << "not a library";
    }
    qz::test_host::HostIdentity identity;
    identity.homeDir = m_home;
    identity.cloudToken = m_options.cloudToken;
    m_server = std::make_shared<qz::test_host::FakeServer>(identity.serverId);
    m_server->setServerDocument(json{{"id", identity.serverId}, {"parameters", json::object()}});
    m_provider = qz::sdk::makePtr<qz::test_host::FakeUtilityProvider>(identity, m_server);
    // Set for each engine, as a host does before it loads the library: the
    // library forgets them (and the configuration it read) once its last
    // plug-in object is gone, so an earlier test's engine took them along;
    // and tests of single classes may have read the configuration since
    // without them, so it is read afresh.
    qzai::restartIni();
    auto unitTestOptions = qz::sdk::makePtr<qz::sdk::StringMap>(
        std::map<std::string, std::string>{{qz::sdk::kUnitTestOptionIniPath, configPath()}});
    qz::sdk::setUnitTestOptions(unitTestOptions.get());
    m_plugin = qz::sdk::makePtr<qzai::Plugin>();
    m_plugin->setUtilityProvider(m_provider.get());
    qz::sdk::Result<qz::sdk::analytics::IEngine*> result;
    m_plugin->obtainEngine(&result);
    if (!result.isOk() || !result.value()) throw std::runtime_error("no engine");
    m_engine = qz::sdk::Ptr<qzai::Engine>(dynamic_cast<qzai::Engine*>(result.value()));
    m_engine->setHandler(qz::sdk::makePtr<qz::test_host::EngineHandler>(m_recorder).get());
}

EngineHarness::~EngineHarness() { shutdown(); }

void EngineHarness::shutdown() {
    m_agents.clear();
    m_engine = nullptr;
    m_plugin = nullptr;
    if (m_server) m_server->stop();
}

qzai::DeviceAgent& EngineHarness::agent(const std::string& id) const { return *m_agents.at(id); }

void EngineHarness::addCamera(const std::string& id, const std::string& name, const json& qzAI) {
    m_server->putDevice(id, json{{"name", name}, {"parameters", {{"qzAI", qzAI}}}});
    auto info = qz::sdk::makePtr<qz::sdk::DeviceInfo>(qz::sdk::DeviceInfoFields{id, name, "", "", ""});
    qz::sdk::Result<qz::sdk::analytics::IDeviceAgent*> result;
    m_engine->obtainDeviceAgent(info.get(), &result);
    if (!result.isOk() || !result.value()) throw std::runtime_error("no device agent");
    qz::sdk::Ptr<qzai::DeviceAgent> agent(dynamic_cast<qzai::DeviceAgent*>(result.value()));
    agent->setHandler(qz::sdk::makePtr<qz::test_host::DeviceAgentHandler>(id, m_recorder).get());
    m_agents[id] = agent;
}

void EngineHarness::setDeviceParameters(const std::string& id, const json& qzAI) {
    auto device = m_server->device(id).value_or(json::object());
    device["parameters"]["qzAI"] = qzAI;
    m_server->putDevice(id, device);
}

void EngineHarness::releaseCamera(const std::string& id) { m_agents.erase(id); }

std::string EngineHarness::sendSettings(const std::string& id, const std::map<std::string, std::string>& settings) {
    auto map = qz::sdk::makePtr<qz::sdk::StringMap>(settings);
    qz::sdk::Result<const qz::sdk::ISettingsResponse*> result;
    m_agents.at(id)->setSettings(map.get(), &result);
    qz::sdk::Ptr<const qz::sdk::ISettingsResponse> response(result.value());
    return response ? qz::sdk::toStdString(response->model()) : std::string();
}

std::string EngineHarness::settingsModel(const std::string& id) {
    qz::sdk::Result<const qz::sdk::ISettingsResponse*> result;
    m_agents.at(id)->getPluginSideSettings(&result);
    qz::sdk::Ptr<const qz::sdk::ISettingsResponse> response(result.value());
    return response ? qz::sdk::toStdString(response->model()) : std::string();
}

std::string EngineHarness::press(const std::string& id, const std::string& name) {
    const auto response = m_agents.at(id)->handleActiveSettingChange(name);
    const auto* action = response ? response->actionResponse() : nullptr;
    return action && action->actionUrl() ? action->actionUrl() : std::string();
}

void EngineHarness::pushFrame(const std::string& id, int64_t timestampUs) {
    qz::test_host::FrameLayout layout;
    layout.width = 64;
    layout.height = 48;
    layout.timestampUs = timestampUs;
    auto frame = qz::sdk::makePtr<qz::test_host::TestFrame>(layout);
    qz::sdk::Result<void> result;
    m_agents.at(id)->pushDataPacket(frame.get(), &result);
}

void EngineHarness::waitForPass() { m_engine->waitForDevicesPass(std::chrono::seconds(5)); }

bool EngineHarness::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + qz::test_host::patient(timeout);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        m_engine->waitForDevicesPass(std::chrono::milliseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace qz::engine_test
