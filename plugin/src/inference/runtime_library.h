// The loaded AI runtime library and its nine exported functions.
//
// The constructor loads the library through a fresh hard link beside it
// ("RuntimeLibrary.<n>.dll" next to "RuntimeLibrary.dll", n from a
// process-wide counter) so that every load gets its own file name; when the
// link cannot be made the library file itself is loaded. A missing export
// leaves its function absent: the call wrappers then return 2 and getError()
// gives "Runtime not initialized.". The destructor closes the library and
// deletes the link.
//
// Texts from the runtime are never null here: a null text reads as "".
// Thread use follows the runtime's contract: enqueueInput from several
// threads, retrieveOutput from one, the rest from one thread while nothing
// else is in progress.
#pragma once

#include <string>

#include "inference/runtime_api.h"
#include "platform/dynamic_library.h"

namespace qz::vms_server_plugins::analytics::qzai {

class RuntimeLibrary {
public:
    explicit RuntimeLibrary(const std::string& libraryPath);
    ~RuntimeLibrary();
    RuntimeLibrary(const RuntimeLibrary&) = delete;
    RuntimeLibrary& operator=(const RuntimeLibrary&) = delete;

    // True when the library is loaded and all nine functions were found.
    bool isLoaded() const;

    int32_t init(const RuntimeArgs& args);
    int32_t loadModels(uint32_t count, const RuntimeModelEntry* models);
    int32_t enqueueInput(uint32_t modelIndex, TensorSet* inputs);
    int32_t retrieveOutput(void* reserved8, TensorSet** outputs, uint32_t timeoutMs);
    int32_t cleanup();

    const char* getError() const;
    const char* getName() const;
    const char* getVersion() const;

    const std::string& libraryPath() const { return m_libraryPath; }
    // The hard link actually loaded; empty when the library file itself was.
    const std::string& loadPath() const { return m_loadPath; }

private:
    void release();

    DynamicLibrary m_module;
    std::string m_libraryPath;
    std::string m_loadPath;

    runtime_init_fn m_init = nullptr;
    runtime_load_models_fn m_loadModels = nullptr;
    runtime_enqueue_input_fn m_enqueueInput = nullptr;
    runtime_retrieve_output_fn m_retrieveOutput = nullptr;
    runtime_cleanup_fn m_cleanup = nullptr;
    runtime_get_error_fn m_getError = nullptr;
    runtime_get_version_fn m_getVersion = nullptr;
    runtime_get_name_fn m_getName = nullptr;
    runtime_get_info_fn m_getInfo = nullptr;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
