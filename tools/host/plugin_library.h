// PluginLibrary: the plug-in library loaded with dlopen (RTLD_NOW |
// RTLD_LOCAL) and its four entry functions resolved by name. dlclose on
// destruction; every object obtained from the library must be released first.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "qz/sdk/entry_points.h"

namespace qz::test_host {

class PluginLibrary {
public:
    // Null with *error set when the library cannot be loaded or lacks an export.
    static std::unique_ptr<PluginLibrary> load(const std::string& path, std::string* error);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // True while the library at `path` is mapped in this process.
    static bool isMapped(const std::string& path);

    const std::string& path() const { return m_path; }

    qz::sdk::CreateQzPluginFunction createQzPlugin = nullptr;
    qz::sdk::QzLibContextFunction qzLibContext = nullptr;
    qz::sdk::QzSdkVersionFunction qzSdkVersion = nullptr;
    qz::sdk::QzSetUnitTestOptionsFunction qzSetUnitTestOptions = nullptr;

private:
    PluginLibrary(std::string path, void* handle) : m_path(std::move(path)), m_handle(handle) {}

    std::string m_path;
    void* m_handle;
};

}  // namespace qz::test_host
