#include "inference/restart_backoff.h"

#include <algorithm>

namespace qz::vms_server_plugins::analytics::qzai {

RestartBackoff::RestartBackoff(Clock::duration first, Clock::duration longest, Clock::duration cleanRun)
    : m_first(first), m_longest(std::max(first, longest)), m_cleanRun(cleanRun), m_delay(first) {}

void RestartBackoff::running(Clock::time_point now) {
    if (!m_runningSince) m_runningSince = now;
    if (now - *m_runningSince >= m_cleanRun) {
        m_delay = m_first;
        m_next.reset();
    }
}

bool RestartBackoff::due(Clock::time_point now) const {
    return !m_next || now >= *m_next;
}

void RestartBackoff::restarted(Clock::time_point now) {
    m_next = now + m_delay;
    m_delay = std::min(m_delay * 2, m_longest);
    m_runningSince.reset();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
