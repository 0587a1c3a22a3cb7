#include "common/scoped_timer.h"

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

ScopedTimer::ScopedTimer(const char* name) : m_name(name ? name : ""), m_enabled(profilingEnabled()) {
    if (m_enabled) m_start = m_lap = std::chrono::steady_clock::now();
}

ScopedTimer::~ScopedTimer() { mark(m_name); }

void ScopedTimer::mark(const char* label) {
    if (!m_enabled) return;
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    const auto now = std::chrono::steady_clock::now();
    logMessage("[Timer] %s::%s | +%lld us | total %lld us\n", m_name, label ? label : "",
               static_cast<long long>(duration_cast<microseconds>(now - m_lap).count()),
               static_cast<long long>(duration_cast<microseconds>(now - m_start).count()));
    m_lap = now;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
