#include "host/road_rig.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/test_crypto.h"
#include "settings/setting_keys.h"
#include "settings/setting_names.h"

namespace qz::test_host {

namespace {

namespace fs = std::filesystem;
namespace qzai = qz::vms_server_plugins::analytics::qzai;
constexpr const char* kLastModified = "Mon, 07 Dec 2026 10:00:00 GMT";

// The loopback model repository: one model, its key in "X-Key".
class ModelServer {
public:
    ModelServer(std::string body, std::string key) : m_body(std::move(body)), m_key(std::move(key)) {
        m_server.Get("/models/squares.bin", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("X-Key", m_key);
            response.set_header("Last-Modified", kLastModified);
            response.set_content(m_body, "application/octet-stream");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0) throw std::runtime_error("cannot bind the loopback model server");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~ModelServer() {
        m_server.stop();
        if (m_thread.joinable()) m_thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/models/squares.bin"; }
    size_t size() const { return m_body.size(); }

private:
    std::string m_body;
    std::string m_key;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

// A temporary home folder, removed at the end.
struct TempHome {
    fs::path path;
    TempHome() {
        std::string pattern = (fs::temp_directory_path() / "qz_road_XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
        path = pattern;
    }
    ~TempHome() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string encryptedModel(const std::vector<uint8_t>& key, const std::string& descriptor) {
    const std::vector<uint8_t> body = encryptAes256Gcm(key, descriptor);
    return std::string(body.begin(), body.end());
}

void installRuntime(const fs::path& dataDir, const RoadRigOptions& options) {
    const fs::path folder = dataDir / "inference_engine";
    fs::create_directories(folder);
    fs::copy_file(options.runtimePath, folder / "RuntimeLibrary.dll", fs::copy_options::overwrite_existing);
    std::ofstream(folder / "installed_runtime.txt") << "Generic CPU";
    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    args["poll_ms"] = "20";
    for (const auto& [key, value] : options.runtimeArgs) args[key] = value;
    std::ofstream(folder / "runtime_args.json") << args.dump();
}

nlohmann::json pipelineDocument(const RoadRigOptions& options, const ModelServer& server) {
    constexpr int side = RoadRig::kModelSide;
    const nlohmann::json model = {
        {"UUID", RoadRig::kModelId},
        {"Name", "Bright squares"},
        {"LastModified", kLastModified},
        {"DownloadURL", server.url()},
        {"Size", server.size()},
        {"InputDriverDetails",
         {{"width", side}, {"height", side}, {"channels", 3}, {"order", 0}, {"means", {0, 0, 0}}, {"vars", {1, 1, 1}}}},
        {"NamedInput", {{{"Name", "image-"}, {"DataType", "float"}, {"Shape", {1, 3, side, side}}}}},
        {"NamedOutput", {{{"Name", RoadRig::kOutputName}, {"DataType", "float"}, {"Shape", {100, 6}}}}},
        {"Classes", {RoadRig::kClassName}},
    };
    nlohmann::json described = model;
    if (!options.extraNamedInputs.empty()) {
        for (const auto& input : nlohmann::json::parse(options.extraNamedInputs)) described["NamedInput"].push_back(input);
    }
    if (!options.rawPostprocessing.empty()) {
        described["RawPostprocessing"] = nlohmann::json::parse(options.rawPostprocessing);
    }
    nlohmann::json node = {
        {"modelUUID", RoadRig::kModelId}, {"resizing", options.resizing}, {"children", nlohmann::json::array()}};
    if (!options.postprocessor.empty()) node["Postprocessor"] = options.postprocessor;
    return {{"models", {described}}, {"nodes", {node}}};
}

std::map<std::string, std::string> cameraSettings(const RoadRigOptions& options, size_t camera) {
    const std::string modelId = RoadRig::kModelId;
    std::map<std::string, std::string> settings = {
        {qzai::setting_keys::kDeviceActiveSwitch, "true"},
        {qzai::stageItemName(qzai::setting_keys::kVisualiseClasses, modelId),
         nlohmann::json::array({RoadRig::kClassName}).dump()},
    };
    const float* box = options.cropBox;
    if (box[2] > box[0] && box[3] > box[1]) {
        settings[qzai::stageItemName(qzai::setting_keys::kCropBox, modelId)] =
            nlohmann::json{{"figure", {{"points", {{box[0], box[1]}, {box[2], box[3]}}}}}}.dump();
    }
    if (camera < options.stageSettings.size()) {
        for (const auto& [prefix, value] : options.stageSettings[camera])
            settings[qzai::stageItemName(prefix, modelId)] = value;
    }
    return settings;
}

}  // namespace

std::map<std::string, std::string> RoadRig::cameraSettingsFor(const RoadRigOptions& options, size_t camera) {
    return cameraSettings(options, camera);
}

// Destroyed bottom up: the host (unloads the library), then the model
// server, then the folder.
struct RoadRig::Parts {
    RoadRigOptions options;
    TempHome home;
    std::unique_ptr<ModelServer> models;
    std::unique_ptr<TestHost> host;
};

std::string roadCameraId(int camera) {
    char id[48];
    std::snprintf(id, sizeof id, "{00000000-0000-0000-0000-%012d}", camera + 1);
    return id;
}

RoadRig::RoadRig(const RoadRigOptions& options) : m_parts(std::make_unique<Parts>()) {
    m_parts->options = options;
    const std::vector<uint8_t> key = randomBytes(32);
    m_parts->models = std::make_unique<ModelServer>(encryptedModel(key, options.modelDescriptor), base64Encode(key));
    installRuntime(dataDirectory(), options);
    startHost();
}

void RoadRig::startHost() {
    const RoadRigOptions& options = m_parts->options;
    TestHostOptions hostOptions;
    hostOptions.pluginPath = options.pluginPath;
    hostOptions.identity.homeDir = m_parts->home.path.string();
    if (!options.iniPath.empty()) hostOptions.unitTestOptions["iniPath"] = options.iniPath;
    m_parts->host = std::make_unique<TestHost>(hostOptions);
    TestHost& testHost = *m_parts->host;
    std::string error;
    if (!testHost.load(&error) || !testHost.obtainEngine(&error)) throw std::runtime_error(error);

    const nlohmann::json pipeline = pipelineDocument(options, *m_parts->models);
    m_cameraIds.clear();
    for (int c = 0; c < options.cameras; ++c) {
        const std::string id = roadCameraId(c);
        const std::string name = "Camera " + std::to_string(c + 1);
        if (!testHost.addCamera({id, name, "QZ", "test", ""}, &error)) throw std::runtime_error(error);
        testHost.server().putDevice(id, {{"name", name}, {"parameters", {{"qzAI", {{"pipeline", pipeline}}}}}});
        m_cameraIds.push_back(id);
    }
    for (size_t c = 0; c < m_cameraIds.size(); ++c)
        testHost.setDeviceSettings(m_cameraIds[c], cameraSettings(options, c));
}

UnloadReport RoadRig::restart(const std::function<void()>& whileUnloaded) {
    const UnloadReport report = m_parts->host->unload();
    m_parts->host.reset();
    if (whileUnloaded) whileUnloaded();
    startHost();
    return report;
}

RoadRig::~RoadRig() = default;

TestHost& RoadRig::host() { return *m_parts->host; }

std::string RoadRig::dataDirectory() const { return (m_parts->home.path / "qz_kelvane").string(); }

std::string RoadRig::modelUrl() const { return m_parts->models->url(); }

}  // namespace qz::test_host
