#include "host/plugin_library.h"

#include <dlfcn.h>

namespace qz::test_host {

namespace {
template <class Function>
bool resolve(void* handle, const char* name, Function* out, std::string* error) {
    *out = reinterpret_cast<Function>(dlsym(handle, name));
    if (!*out && error) *error = std::string("missing export ") + name;
    return *out != nullptr;
}
}  // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::load(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (error) *error = dlerror();
        return nullptr;
    }
    std::unique_ptr<PluginLibrary> library(new PluginLibrary(path, handle));
    if (!resolve(handle, qz::sdk::kCreateQzPluginName, &library->createQzPlugin, error)
        || !resolve(handle, qz::sdk::kQzLibContextName, &library->qzLibContext, error)
        || !resolve(handle, qz::sdk::kQzSdkVersionName, &library->qzSdkVersion, error)
        || !resolve(handle, qz::sdk::kQzSetUnitTestOptionsName, &library->qzSetUnitTestOptions, error)) {
        return nullptr;
    }
    return library;
}

PluginLibrary::~PluginLibrary() { dlclose(m_handle); }

bool PluginLibrary::isMapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}

}  // namespace qz::test_host
