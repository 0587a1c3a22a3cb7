// A shared library opened with dlopen and closed with dlclose.
//
// open() loads the file at an absolute path with RTLD_NOW | RTLD_LOCAL; on
// failure the handle stays empty and error() holds the loader's text. Note
// that the loader hands back the already mapped image when a second path
// names the same file (same inode), so two DynamicLibrary objects may share
// one image and its global state.
//
// Not thread-safe for concurrent open/close of the same object; symbol() on a
// loaded library may be called from any thread.
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Closes any library held, then loads `path`. False on failure.
    bool open(const std::string& path);
    void close();

    bool isOpen() const { return m_handle != nullptr; }
    // The address of an exported symbol, or null when absent or not loaded.
    void* symbol(const char* name) const;
    // The loader's text for the last failed open().
    const std::string& error() const { return m_error; }

private:
    void* m_handle = nullptr;
    std::string m_error;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
