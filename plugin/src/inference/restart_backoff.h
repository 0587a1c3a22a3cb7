// RestartBackoff: when a failed runtime may be restarted again.
//
// The first restart after a failure may happen at once; each restart makes
// the next one wait the current delay, which then doubles up to `longest`.
// Once the runtime has been seen running for `cleanRun`, the delay is back
// to `first`. Time is passed in, so the rule is testable without waiting.
//
// Not thread-safe: the owner calls it under its own lock.
#pragma once

#include <chrono>
#include <optional>

namespace qz::vms_server_plugins::analytics::qzai {

class RestartBackoff {
public:
    using Clock = std::chrono::steady_clock;

    RestartBackoff(Clock::duration first = std::chrono::seconds(2),
                   Clock::duration longest = std::chrono::seconds(60),
                   Clock::duration cleanRun = std::chrono::seconds(60));

    // The runtime was seen running at `now`.
    void running(Clock::time_point now);
    // Whether a restart may be tried at `now`.
    bool due(Clock::time_point now) const;
    // A restart was tried at `now`.
    void restarted(Clock::time_point now);
    // What the next restart will wait after the one before it.
    Clock::duration delay() const { return m_delay; }

private:
    const Clock::duration m_first;
    const Clock::duration m_longest;
    const Clock::duration m_cleanRun;
    Clock::duration m_delay;
    std::optional<Clock::time_point> m_next;          // none: at once
    std::optional<Clock::time_point> m_runningSince;  // none: not seen running since the last restart
};

}  // namespace qz::vms_server_plugins::analytics::qzai
