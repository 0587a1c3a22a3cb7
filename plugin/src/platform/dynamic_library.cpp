#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace qz::vms_server_plugins::analytics::qzai {

DynamicLibrary::~DynamicLibrary() {
    close();
}

bool DynamicLibrary::open(const std::string& path) {
    close();
    m_error.clear();
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* text = ::dlerror();
        m_error = text ? text : "unknown loader error";
        return false;
    }
    return true;
}

void DynamicLibrary::close() {
    if (m_handle) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

void* DynamicLibrary::symbol(const char* name) const {
    if (!m_handle) return nullptr;
    return ::dlsym(m_handle, name);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
