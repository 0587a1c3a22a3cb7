#include "inference/support/engine_test_env.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/test_crypto.h"

namespace engine_test {

namespace fs = std::filesystem;
using qz::test_host::encryptAes256Gcm;
using qz::test_host::randomBytes;

namespace {

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

EngineTestEnv::EngineTestEnv(bool installRuntime) {
    std::string pattern = (fs::temp_directory_path() / "qz_engine_XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
    fs::create_directories(workingDir());
    fs::create_directories(fs::path(m_root) / "models");
    if (!installRuntime) return;
    fs::copy_file(QZ_TEST_RUNTIME_LIBRARY, libraryPath());
    m_runtimeImage = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_runtimeImage) throw std::runtime_error(std::string("cannot load the test runtime: ") + dlerror());
}

EngineTestEnv::~EngineTestEnv() {
    if (m_runtimeImage) dlclose(m_runtimeImage);
    std::error_code ec;
    fs::remove_all(m_root, ec);
}

std::string EngineTestEnv::workingDir() const {
    return (fs::path(m_root) / "inference_engine").string();
}

std::string EngineTestEnv::libraryPath() const {
    return (fs::path(workingDir()) / "RuntimeLibrary.dll").string();
}

void EngineTestEnv::writeRuntimeArgs(std::map<std::string, std::string> args) {
    args.try_emplace("poll_ms", "20");
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    for (const auto& [key, value]: args) doc[key] = value;
    std::ofstream(fs::path(workingDir()) / "runtime_args.json") << doc.dump();
}

std::shared_ptr<qzai::ModelDetails_t> EngineTestEnv::makeModel(const std::string& id, const std::string& descriptor,
    bool wrongKey) {
    auto model = std::make_shared<qzai::ModelDetails_t>();
    model->id = id;
    model->name = "model " + id;
    model->lastModified = std::string(1, '1');
    const fs::path dir = fs::path(m_root) / "models";
    model->modelFilePath = (dir / (id + ".enc")).string();
    model->keyFilePath = (dir / (id + ".key")).string();
    model->decryptedPath = (dir / (id + ".model")).string();
    const std::vector<uint8_t> key = randomBytes(32);
    writeFile(model->modelFilePath, encryptAes256Gcm(key, descriptor));
    writeFile(model->keyFilePath, wrongKey ? randomBytes(32) : key);
    model->downloadState = qzai::ModelDownloadState::Ready;
    return model;
}

TestRuntimeStats EngineTestEnv::stats() const {
    TestRuntimeStats stats{};
    auto get = reinterpret_cast<test_runtime_get_stats_fn>(dlsym(m_runtimeImage, "test_runtime_get_stats"));
    if (get) get(&stats);
    return stats;
}

void EngineTestEnv::holdOutputs(bool hold) const {
    auto set = reinterpret_cast<test_runtime_hold_outputs_fn>(dlsym(m_runtimeImage, "test_runtime_hold_outputs"));
    if (!set) throw std::runtime_error("the test runtime cannot hold outputs");
    set(hold ? 1 : 0);
}

void EngineTestEnv::releaseEnqueues() const {
    auto release =
        reinterpret_cast<test_runtime_release_enqueues_fn>(dlsym(m_runtimeImage, "test_runtime_release_enqueues"));
    if (!release) throw std::runtime_error("the test runtime cannot release enqueue calls");
    release();
}

void EngineTestEnv::releaseInits() const {
    auto release = reinterpret_cast<test_runtime_release_inits_fn>(dlsym(m_runtimeImage, "test_runtime_release_inits"));
    if (!release) throw std::runtime_error("the test runtime cannot release init calls");
    release();
}

std::shared_ptr<qzai::InferenceInput_t> makeRequest(const std::shared_ptr<qzai::ModelDetails_t>& model,
    const std::string& deviceId, int64_t timestampUs) {
    auto settings = std::make_shared<qzai::DeviceAgentSettings_t>();
    settings->stages.emplace_back();
    settings->stages.back().key = model->id;
    settings->stages.back().model = model;
    auto request = std::make_shared<qzai::InferenceInput_t>();
    request->timestampUs = timestampUs;
    request->stage = &settings->stages.back();
    request->settings = std::move(settings);
    request->details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{deviceId, deviceId});
    return request;
}

TensorSet* makeInput(float value, int32_t count) {
    auto* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->count = 1;
    set->tensors = static_cast<Tensor*>(std::calloc(1, sizeof(Tensor)));
    Tensor& t = set->tensors[0];
    t.name = strdup("image-");
    t.elementType = QZ_ELEMENT_FLOAT32;
    t.rank = 2;
    t.shape = static_cast<int32_t*>(std::malloc(2 * sizeof(int32_t)));
    t.shape[0] = 1;
    t.shape[1] = count;
    t.byteSize = static_cast<uint64_t>(count) * sizeof(float);
    t.data = std::malloc(t.byteSize);
    for (int32_t i = 0; i < count; ++i) static_cast<float*>(t.data)[i] = value;
    return set;
}

std::optional<qzai::InferenceOutput> popOutput(qzai::OutputQueue& queue, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (!queue.condition.wait_for(lock, timeout, [&] { return !queue.items.empty(); })) return std::nullopt;
    qzai::InferenceOutput out = std::move(queue.items.front());
    queue.items.pop_front();
    queue.count.fetch_sub(1);
    return out;
}

}  // namespace engine_test
