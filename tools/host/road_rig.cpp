#include "host/road_rig.h"
#include "host/runtime_repository.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/test_crypto.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"

namespace qz::test_host {

namespace {

namespace fs = std::filesystem;
namespace qzai = qz::vms_server_plugins::analytics::qzai;
constexpr const char* kLastModified = "Mon, 07 Dec 2026 10:00:00 GMT";

// The loopback model repository: one path per model, each with its key in
// "X-Key".
class ModelServer {
public:
    struct Served {
        std::string body;
        std::string key;
    };
    // name: the file name under /models/.
    explicit ModelServer(std::map<std::string, Served> models) : m_models(std::move(models)) {
        for (const auto& [name, served] : m_models) {
            const Served* model = &served;
            m_server.Get("/models/" + name, [model](const httplib::Request&, httplib::Response& response) {
                response.set_header("X-Key", model->key);
                response.set_header("Last-Modified", kLastModified);
                response.set_content(model->body, "application/octet-stream");
            });
        }
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0) throw std::runtime_error("cannot bind the loopback model server");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~ModelServer() {
        m_server.stop();
        if (m_thread.joinable()) m_thread.join();
    }
    std::string url(const std::string& name = "squares.bin") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/models/" + name;
    }
    size_t size(const std::string& name = "squares.bin") const { return m_models.at(name).body.size(); }

private:
    const std::map<std::string, Served> m_models;
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

std::string runtimeArgsText(const RoadRigOptions& options) {
    nlohmann::ordered_json args = nlohmann::ordered_json::object();
    args["poll_ms"] = "20";
    for (const auto& [key, value] : options.runtimeArgs) args[key] = value;
    return args.dump();
}

void installRuntime(const fs::path& dataDir, const RoadRigOptions& options) {
    const fs::path folder = dataDir / "inference_engine";
    fs::create_directories(folder);
    fs::copy_file(options.runtimePath, folder / "RuntimeLibrary.dll", fs::copy_options::overwrite_existing);
    std::ofstream(folder / "installed_runtime.txt") << "Generic CPU";
    std::ofstream(folder / "runtime_args.json") << runtimeArgsText(options);
}

// The repository entry of a model with a float image input of side x side
// and float outputs of the given names and shapes.
nlohmann::json modelDocument(const std::string& id, const std::string& name, const std::string& url, size_t size,
                             int side, const std::vector<std::pair<std::string, nlohmann::json>>& outputs,
                             const std::vector<std::string>& classes) {
    nlohmann::json namedOutputs = nlohmann::json::array();
    for (const auto& [outputName, shape] : outputs)
        namedOutputs.push_back({{"Name", outputName}, {"DataType", "float"}, {"Shape", shape}});
    return {
        {"UUID", id},
        {"Name", name},
        {"LastModified", kLastModified},
        {"DownloadURL", url},
        {"Size", size},
        {"InputDriverDetails",
         {{"width", side}, {"height", side}, {"channels", 3}, {"order", 0}, {"means", {0, 0, 0}}, {"vars", {1, 1, 1}}}},
        {"NamedInput", {{{"Name", "image-"}, {"DataType", "float"}, {"Shape", {1, 3, side, side}}}}},
        {"NamedOutput", namedOutputs},
        {"Classes", classes},
    };
}

std::string topOutputName(const RoadRigOptions& options) {
    return options.outputName.empty() ? RoadRig::kOutputName : options.outputName;
}

std::vector<std::string> topClasses(const RoadRigOptions& options) {
    return options.classes.empty() ? std::vector<std::string>{RoadRig::kClassName} : options.classes;
}

std::string childFileName(const RoadRigChild& child) {
    return child.modelId + ".bin";
}

nlohmann::json pipelineDocument(const RoadRigOptions& options, const ModelServer& server) {
    nlohmann::json described = modelDocument(RoadRig::kModelId, "Bright squares", server.url(), server.size(),
                                             RoadRig::kModelSide, {{topOutputName(options), {100, 6}}},
                                             topClasses(options));
    if (!options.extraNamedInputs.empty()) {
        for (const auto& input : nlohmann::json::parse(options.extraNamedInputs)) described["NamedInput"].push_back(input);
    }
    if (!options.rawPostprocessing.empty()) {
        described["RawPostprocessing"] = nlohmann::json::parse(options.rawPostprocessing);
    }
    nlohmann::json models = nlohmann::json::array({described});
    nlohmann::json children = nlohmann::json::array();
    for (const RoadRigChild& child : options.children) {
        std::vector<std::pair<std::string, nlohmann::json>> outputs = {{child.outputName, {1, 6}}};
        if (!child.scoresName.empty())
            outputs.push_back({child.scoresName, {1, static_cast<int>(child.classes.size())}});
        models.push_back(modelDocument(child.modelId, child.modelId, server.url(childFileName(child)),
                                       server.size(childFileName(child)), child.side, outputs, child.classes));
        children.push_back({{"modelUUID", child.modelId},
                            {"method", child.method},
                            {"featureExtractionClass", child.featureExtractionClass},
                            {"resizing", child.resizing},
                            {"children", nlohmann::json::array()}});
        if (!child.postprocessor.empty()) children.back()["Postprocessor"] = child.postprocessor;
    }
    nlohmann::json node = {{"modelUUID", RoadRig::kModelId}, {"resizing", options.resizing}, {"children", children}};
    if (!options.postprocessor.empty()) node["Postprocessor"] = options.postprocessor;
    if (!options.preprocessor.empty()) node["Preprocessor"] = options.preprocessor;
    return {{"models", models}, {"nodes", {node}}};
}

// The external processor files below the data directory, where the plug-in
// looks for them.
void writeProcessorFiles(const fs::path& dataDirectory, const RoadRigOptions& options) {
    const std::pair<const char*, const std::string*> files[] = {
        {"postprocessors/external_postprocessors.json", &options.externalPostprocessors},
        {"preprocessors/external_preprocessors.json", &options.externalPreprocessors},
    };
    for (const auto& [name, text] : files) {
        if (text->empty()) continue;
        const fs::path path = dataDirectory / name;
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << *text;
        if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
    }
}

std::map<std::string, std::string> cameraSettings(const RoadRigOptions& options, size_t camera) {
    const std::string modelId = RoadRig::kModelId;
    std::map<std::string, std::string> settings = {
        {qzai::setting_keys::kDeviceActiveSwitch, "true"},
        {qzai::stageItemName(qzai::setting_keys::kVisualiseClasses, modelId),
         nlohmann::json(topClasses(options)).dump()},
    };
    const float* box = options.cropBox;
    if (box[2] > box[0] && box[3] > box[1]) {
        settings[qzai::stageItemName(qzai::setting_keys::kCropBox, modelId)] =
            nlohmann::json{{"figure", {{"points", {{box[0], box[1]}, {box[2], box[3]}}}}}}.dump();
    }
    // A child stage's key is its parent's key followed by its model id.
    for (const RoadRigChild& child : options.children) {
        settings[qzai::stageItemName(qzai::setting_keys::kVisualiseClasses, modelId + child.modelId)] =
            nlohmann::json(child.classes).dump();
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
    std::unique_ptr<RuntimeRepository> runtimes;
    std::unique_ptr<TestHost> host;
};

std::string roadCameraId(int camera) {
    char id[48];
    std::snprintf(id, sizeof id, "{00000000-0000-0000-0000-%012d}", camera + 1);
    return id;
}

RoadRig::RoadRig(const RoadRigOptions& options) : m_parts(std::make_unique<Parts>()) {
    m_parts->options = options;
    std::map<std::string, ModelServer::Served> served;
    auto serve = [&](const std::string& fileName, const std::string& descriptor) {
        const std::vector<uint8_t> key = randomBytes(32);
        served[fileName] = {encryptedModel(key, descriptor), base64Encode(key)};
    };
    serve("squares.bin", options.modelDescriptor);
    for (const RoadRigChild& child : options.children) serve(childFileName(child), child.descriptor);
    m_parts->models = std::make_unique<ModelServer>(std::move(served));
    if (options.runtimeFromRepository) {
        m_parts->runtimes = std::make_unique<RuntimeRepository>(options.runtimePath, runtimeArgsText(options),
                                                                (m_parts->home.path / "repository").string());
        m_parts->options.iniValues["RuntimeRepositoryURL"] = m_parts->runtimes->base();
    } else {
        installRuntime(dataDirectory(), options);
    }
    startHost();
}

void RoadRig::startHost() {
    const RoadRigOptions& options = m_parts->options;
    TestHostOptions hostOptions;
    hostOptions.pluginPath = options.pluginPath;
    hostOptions.identity.homeDir = m_parts->home.path.string();
    if (!options.iniPath.empty()) {
        hostOptions.unitTestOptions["iniPath"] = options.iniPath;
    } else if (!options.iniValues.empty()) {
        const fs::path ini = m_parts->home.path / "road.ini";
        std::ofstream out(ini);
        for (const auto& [key, value] : options.iniValues) out << key << "=" << value << "\n";
        hostOptions.unitTestOptions["iniPath"] = ini.string();
    }
    writeProcessorFiles(dataDirectory(), options);
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

const RuntimeRepository* RoadRig::runtimeRepository() const { return m_parts->runtimes.get(); }

}  // namespace qz::test_host
