// A named profiling timer on the monotonic clock.
//
// When profiling is on (profilingEnabled(), from `enableProfiling`) mark()
// logs "[Timer] <name>::<label> | +<us since last mark> us | total <us since
// start> us" at the basic level and starts a new lap; the destructor logs the
// same with the timer's own name as label. When profiling is off nothing is
// logged. One timer belongs to one thread.
#pragma once

#include <chrono>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

class ScopedTimer {
public:
    explicit ScopedTimer(std::string name);
    ~ScopedTimer();
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

    void mark(const char* label);

private:
    std::string m_name;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lap;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
