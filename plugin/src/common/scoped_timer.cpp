#include "common/scoped_timer.h"

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

ScopedTimer::ScopedTimer(std::string name)
    : m_name(std::move(name)), m_start(std::chrono::steady_clock::now()), m_lap(m_start) {}

ScopedTimer::~ScopedTimer() { mark(m_name.c_str()); }

void ScopedTimer::mark(const char* label) {
    const auto now = std::chrono::steady_clock::now();
    if (profilingEnabled()) {
        using std::chrono::duration_cast;
        using std::chrono::microseconds;
        logMessage("[Timer] %s::%s | +%lld us | total %lld us\n", m_name.c_str(), label ? label : "",
                   static_cast<long long>(duration_cast<microseconds>(now - m_lap).count()),
                   static_cast<long long>(duration_cast<microseconds>(now - m_start).count()));
    }
    m_lap = now;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
