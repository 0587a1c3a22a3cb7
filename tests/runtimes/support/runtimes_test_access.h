// Puts a RuntimesManager into states a test needs without running passes
// (settings pages, races against readers).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "runtimes/runtimes_manager.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct RuntimesManagerTestAccess {
    static void setState(RuntimesManager& m, RuntimeState state) { m.m_state = state; }
    static void setDownloadCancelled(RuntimesManager& m, bool cancelled) { m.m_downloadCancelled = cancelled; }
    static bool cancelRequested(const RuntimesManager& m) { return m.m_cancelDownloadRequested.load(); }
    static void setCompatibleRuntimes(RuntimesManager& m, std::vector<std::string> names) {
        std::lock_guard<std::mutex> lock(m.m_mutex);
        m.m_compatibleRuntimes = std::move(names);
    }
    // A working NVIDIA family offering `runtime`, whose runtime was already in
    // use in this process.
    static void nvidiaRuntimeWasUsed(RuntimesManager& m, const std::string& runtime) {
        m.m_nvidiaChip->correctlyInstalled = true;
        m.m_nvidiaChip->runtimes[runtime] = RuntimeInfo{"http://127.0.0.1:1/none", {"application/x-onnx; device=cuda"}};
        m.m_runtimeFamilies[runtime] = m.m_nvidiaChip.get();
        m.m_nvidiaRuntimeUsed = true;
    }
    static std::string selectedRuntime(const RuntimesManager& m) {
        std::lock_guard<std::mutex> lock(m.m_mutex);
        return m.m_selectedRuntime;
    }
};

}  // namespace qz::vms_server_plugins::analytics::qzai
