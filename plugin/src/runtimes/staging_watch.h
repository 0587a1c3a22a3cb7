// Measuring a staging folder while tar unpacks into it. The listing is not
// proof of what unpacking writes, so a thread of this object measures what
// has landed (measureStagedTree) every kInterval and, once it is past the
// limits, sets the given stop flag (the cancel flag the tar run polls) and
// measures no more. Disk taken past the limits is thus bounded by what tar
// writes in one interval and one walk.
//
// Thread-safety: the owner constructs, calls finish() and destroys; the
// stop flag is only ever set, from the watch's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "runtimes/package_staging.h"

namespace qz::vms_server_plugins::analytics::qzai {

class StagingWatch {
public:
    static constexpr std::chrono::milliseconds kInterval{100};

    StagingWatch(std::string folder, PackageLimits limits, std::atomic<bool>* stop);
    // Ends the watch if finish() has not.
    ~StagingWatch();
    StagingWatch(const StagingWatch&) = delete;
    StagingWatch& operator=(const StagingWatch&) = delete;

    // Ends the watch and waits for its thread: the measure that passed the
    // limits, or empty when none did.
    std::optional<StagedSize> finish();

private:
    void run();

    const std::string m_folder;
    const PackageLimits m_limits;
    std::atomic<bool>* const m_stop;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finishing = false;            // guarded by m_mutex
    std::optional<StagedSize> m_passed;  // written by the thread, read after it is joined

    std::thread m_thread;  // last: starts once everything above exists
};

}  // namespace qz::vms_server_plugins::analytics::qzai
