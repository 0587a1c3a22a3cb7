#include "runtimes/staging_watch.h"

namespace qz::vms_server_plugins::analytics::qzai {

StagingWatch::StagingWatch(std::string folder, PackageLimits limits, std::atomic<bool>* stop)
    : m_folder(std::move(folder)), m_limits(limits), m_stop(stop), m_thread([this] { run(); }) {}

StagingWatch::~StagingWatch() { finish(); }

std::optional<StagedSize> StagingWatch::finish() {
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    return m_passed;
}

void StagingWatch::run() {
    std::unique_lock lock(m_mutex);
    while (!m_finishing) {
        lock.unlock();
        const StagedSize size = measureStagedTree(m_folder, m_limits);
        lock.lock();
        if (size.pastLimits) {
            m_passed = size;
            m_stop->store(true);
            return;
        }
        m_wake.wait_for(lock, kInterval, [this] { return m_finishing; });
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
