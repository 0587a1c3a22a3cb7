#include "runtimes/streamed_listing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/gzip_reader.h"

namespace qz::vms_server_plugins::analytics::qzai {

StreamedPackageListing::StreamedPackageListing(PlatformServices::CommandRunner run, std::vector<std::string> argv,
                                               RunOptions options)
    : m_run(std::move(run)), m_argv(std::move(argv)), m_options(std::move(options)), m_thread([this] { this->run(); }) {}

StreamedPackageListing::~StreamedPackageListing() {
    if (m_thread.joinable()) finish(false);
}

void StreamedPackageListing::add(const char* data, size_t size) {
    if (size == 0) return;
    const auto cancelled = [this] { return m_options.cancel && m_options.cancel->load(); };
    std::unique_lock lock(m_mutex);
    // The cancel flag has no way to wake this wait: look at it every tick.
    while (m_queuedBytes >= kMaxQueuedBytes && !m_listerDone && !cancelled()) {
        m_changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    if (m_listerDone || m_closed || cancelled()) return;
    m_queue.emplace_back(data, size);
    m_queuedBytes += size;
    m_changed.notify_all();
}

std::optional<CommandOutput> StreamedPackageListing::finish(bool complete) {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        if (!complete) {
            // Nothing of an incomplete download is worth inflating.
            m_queue.clear();
            m_queuedBytes = 0;
            m_frontTaken = 0;
        }
        m_changed.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard lock(m_mutex);
    if (!complete) return std::nullopt;
    return m_result;
}

size_t StreamedPackageListing::take(char* buffer, size_t capacity) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_queue.empty() || m_closed; });
    size_t taken = 0;
    while (taken < capacity && !m_queue.empty()) {
        const std::string& front = m_queue.front();
        const size_t n = std::min(capacity - taken, front.size() - m_frontTaken);
        std::memcpy(buffer + taken, front.data() + m_frontTaken, n);
        taken += n;
        m_frontTaken += n;
        if (m_frontTaken == front.size()) {
            m_queue.pop_front();
            m_frontTaken = 0;
        }
    }
    m_queuedBytes -= taken;
    m_changed.notify_all();
    return taken;
}

void StreamedPackageListing::run() {
    GzipReader reader([this](char* buffer, size_t capacity) -> std::optional<size_t> { return take(buffer, capacity); });
    std::optional<CommandOutput> result;
    if (reader.isGzip()) {
        RunOptions fed = m_options;
        fed.input = [&reader](std::string& block) { return reader.next(&block); };
        CommandOutput output = m_run(m_argv, fed);
        // tar may stop reading at the archive's end mark: the rest must
        // still be whole gzip, as it must for tar's own gzip.
        if (output.exitCode == 0 && !output.truncated && reader.readToEnd(kMaxTrailingBytes)) result = std::move(output);
    }
    std::lock_guard lock(m_mutex);
    m_result = std::move(result);
    m_listerDone = true;
    m_queue.clear();
    m_queuedBytes = 0;
    m_frontTaken = 0;
    m_changed.notify_all();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
