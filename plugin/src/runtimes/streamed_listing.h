// Listing a gzip runtime package with tar while it downloads.
//
// The downloading thread hands over each block once it is written; a thread
// of this object inflates the blocks and feeds them to a tar listing through
// its standard input. The listing is then ready about when the download ends,
// instead of costing another full pass over the package afterwards. It counts
// only when the download ended whole, all of it was well-formed gzip, and tar
// exited 0; otherwise the caller lists the package from the file as before.
//
// Thread-safety: add() belongs to the downloading thread; finish() and the
// destructor to the owner (which may be the same thread). Memory stays
// bounded: add() blocks while kMaxQueuedBytes wait to be inflated, but never
// once the options' cancel flag is set, and an incomplete finish() drops what
// is queued instead of waiting for it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtimes/runtimes_platform.h"

namespace qz::vms_server_plugins::analytics::qzai {

class StreamedPackageListing {
public:
    static constexpr size_t kMaxQueuedBytes = size_t{8} << 20;
    // What is inflated after tar has read the archive's end: tar's own gzip
    // stops there too, and a package may carry any length after it.
    static constexpr size_t kMaxTrailingBytes = size_t{1} << 20;

    // `argv` reads the archive from standard input; it runs through `run`
    // with `options` (their input is this object's; their cancel flag also
    // releases a blocked add()).
    StreamedPackageListing(PlatformServices::CommandRunner run, std::vector<std::string> argv, RunOptions options);
    // Ends an unfinished stream as incomplete and waits for tar.
    ~StreamedPackageListing();
    StreamedPackageListing(const StreamedPackageListing&) = delete;
    StreamedPackageListing& operator=(const StreamedPackageListing&) = delete;

    // The next bytes of the package. Dropped once tar has ended.
    void add(const char* data, size_t size);

    // Ends the stream (`complete`: the download ended whole) and waits for
    // tar. tar's output when the listing counts, empty otherwise.
    std::optional<CommandOutput> finish(bool complete);

private:
    void run();
    // The reader's source: blocks until bytes arrive or the stream ends.
    size_t take(char* buffer, size_t capacity);

    const PlatformServices::CommandRunner m_run;
    const std::vector<std::string> m_argv;
    const RunOptions m_options;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_queue;  // guarded by m_mutex, as are the fields below
    size_t m_frontTaken = 0;          // bytes of the front block already taken
    size_t m_queuedBytes = 0;
    bool m_closed = false;
    bool m_listerDone = false;
    std::optional<CommandOutput> m_result;

    std::thread m_thread;  // last: starts once everything above exists
};

}  // namespace qz::vms_server_plugins::analytics::qzai
