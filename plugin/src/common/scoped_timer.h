// A named profiling timer on the monotonic clock.
//
// When profiling is on (profilingEnabled(), from `enableProfiling`) mark()
// logs "[Timer] <name>::<label> | +<us since last mark> us | total <us since
// start> us" at the basic level and starts a new lap; the destructor logs the
// same with the timer's own name as label. When profiling is off (checked
// once, at construction) the timer neither reads the clock nor logs, so it
// costs next to nothing on hot paths. The name and labels are not copied: pass
// texts that outlive the timer (string literals). One timer belongs to one
// thread.
#pragma once

#include <chrono>

namespace qz::vms_server_plugins::analytics::qzai {

class ScopedTimer {
public:
    explicit ScopedTimer(const char* name);
    ~ScopedTimer();
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

    void mark(const char* label);

private:
    const char* m_name;
    bool m_enabled;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lap;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
