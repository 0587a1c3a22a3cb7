#include "inference/runtime_library.h"

#include <atomic>
#include <filesystem>

#include "common/log.h"
#include "platform/hard_link.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

namespace {

std::atomic<uint64_t> g_loadCounter{0};

constexpr const char* kNotInitialized = "Runtime not initialized.";

const char* orEmpty(const char* text) {
    return text ? text : "";
}

// The path to load: a fresh hard link beside the library, or the library
// itself when the link cannot be made.
std::string prepareLoadPath(const std::string& libraryPath) {
    const fs::path library(libraryPath);
    const fs::path directory = library.parent_path();
    std::error_code ec;
    if (!directory.empty()) fs::create_directories(directory, ec);
    if (ec) {
        logMessage("Warning! Failed to create runtime load directory %s: %s. Loading runtime directly from %s instead.\n",
            directory.string().c_str(), ec.message().c_str(), libraryPath.c_str());
        return libraryPath;
    }
    const uint64_t n = g_loadCounter.fetch_add(1);
    const fs::path link = directory /
        (library.stem().string() + "." + std::to_string(n) + library.extension().string());
    fs::remove(link, ec);  // a stale link from an earlier process; errors ignored
    std::string error;
    if (!createHardLink(libraryPath, link.string(), error)) {
        logMessage("Warning! Failed to hard link %s to %s: %s. Loading runtime directly from %s instead.\n",
            link.string().c_str(), libraryPath.c_str(), error.c_str(), libraryPath.c_str());
        return libraryPath;
    }
    return link.string();
}

template <typename Fn>
Fn resolve(const DynamicLibrary& module, const char* name) {
    return reinterpret_cast<Fn>(module.symbol(name));
}

}  // namespace

RuntimeLibrary::RuntimeLibrary(const std::string& libraryPath): m_libraryPath(libraryPath) {
    std::string path = prepareLoadPath(libraryPath);
    if (path != libraryPath) m_loadPath = path;

    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    if (!ec) path = absolute.string();

    if (!m_module.open(path)) {
        logMessage("Error! Failed to load runtime library %s: %s\n", path.c_str(), m_module.error().c_str());
        return;
    }
    m_init = resolve<runtime_init_fn>(m_module, "runtime_init");
    m_loadModels = resolve<runtime_load_models_fn>(m_module, "runtime_load_models");
    m_enqueueInput = resolve<runtime_enqueue_input_fn>(m_module, "runtime_enqueue_input");
    m_retrieveOutput = resolve<runtime_retrieve_output_fn>(m_module, "runtime_retrieve_output");
    m_cleanup = resolve<runtime_cleanup_fn>(m_module, "runtime_cleanup");
    m_getError = resolve<runtime_get_error_fn>(m_module, "runtime_get_error");
    m_getVersion = resolve<runtime_get_version_fn>(m_module, "runtime_get_version");
    m_getName = resolve<runtime_get_name_fn>(m_module, "runtime_get_name");
    m_getInfo = resolve<runtime_get_info_fn>(m_module, "runtime_get_info");
}

RuntimeLibrary::~RuntimeLibrary() {
    release();
}

void RuntimeLibrary::release() {
    logMessage("Releasing runtime library.\n");
    m_module.close();
    if (!m_loadPath.empty()) {
        std::error_code ec;
        fs::remove(m_loadPath, ec);
        if (ec) {
            logMessage("Warning! Failed to remove runtime load link %s: %s\n", m_loadPath.c_str(),
                ec.message().c_str());
        }
    }
}

bool RuntimeLibrary::isLoaded() const {
    return m_module.isOpen() && m_init && m_loadModels && m_enqueueInput && m_retrieveOutput && m_cleanup
        && m_getError && m_getVersion && m_getName && m_getInfo;
}

int32_t RuntimeLibrary::init(const RuntimeArgs& args) {
    return m_init ? m_init(&args) : QZ_RUNTIME_FUNCTION_MISSING;
}

int32_t RuntimeLibrary::loadModels(uint32_t count, const RuntimeModelEntry* models) {
    return m_loadModels ? m_loadModels(count, models) : QZ_RUNTIME_FUNCTION_MISSING;
}

int32_t RuntimeLibrary::enqueueInput(uint32_t modelIndex, TensorSet* inputs) {
    return m_enqueueInput ? m_enqueueInput(modelIndex, inputs) : QZ_RUNTIME_FUNCTION_MISSING;
}

int32_t RuntimeLibrary::retrieveOutput(void* reserved8, TensorSet** outputs, uint32_t timeoutMs) {
    return m_retrieveOutput ? m_retrieveOutput(reserved8, outputs, timeoutMs) : QZ_RUNTIME_FUNCTION_MISSING;
}

int32_t RuntimeLibrary::cleanup() {
    return m_cleanup ? m_cleanup() : QZ_RUNTIME_FUNCTION_MISSING;
}

const char* RuntimeLibrary::getError() const {
    return m_getError ? orEmpty(m_getError()) : kNotInitialized;
}

const char* RuntimeLibrary::getName() const {
    return m_getName ? orEmpty(m_getName()) : "";
}

const char* RuntimeLibrary::getVersion() const {
    return m_getVersion ? orEmpty(m_getVersion()) : "";
}

}  // namespace qz::vms_server_plugins::analytics::qzai
