// Judging a package's listing line by line while tar prints it, so that a
// package is refused at the first member that makes it unacceptable: an
// unsafe member (unsafeEntryReason), or a running total of entries or of
// their disk (entryDiskCost) past the limits. An unreadable line refuses it
// only at finish(), as it may be a diagnostic of a run that fails (which
// tar's status then reports, as the caller sees it). A member
// announcing more than the limit thus stops the listing at its own line,
// before tar reads (and this process inflates) the data it announces. Text
// past kMaxCommandOutputBytes is refused too, so memory stays bounded.
//
// Thread-safety: add(), finish() and reset() belong to one thread at a time
// (the thread running tar); refused() may be read from any thread; the
// rest is read once that run has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtimes/package_listing.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct ListingVerdict {
    enum class Cause { UnreadableLine, UnsafeEntry, TooLong, TooManyBytes, TooManyEntries };
    Cause cause = Cause::UnreadableLine;
    std::string entry;   // the member refused, or the unreadable line
    std::string reason;  // UnsafeEntry: why
    uint64_t bytes = 0;    // running totals, that member included
    uint64_t entries = 0;
};

class ListingJudge {
public:
    explicit ListingJudge(PackageLimits limits);

    // The next output of the listing. False once the package is refused.
    bool add(std::string_view text);
    // The end of the output (reads a last line without a line end). False
    // when the package is refused.
    bool finish();
    // Forgets all that was read, for another run of the listing.
    void reset();

    bool refused() const { return m_refused.load(); }
    const std::optional<ListingVerdict>& verdict() const { return m_verdict; }
    const PackageListing& listing() const { return m_listing; }
    uint64_t bytes() const { return m_bytes; }

private:
    bool judgeLine(std::string line);
    bool refuse(ListingVerdict::Cause cause, std::string entry, std::string reason = {});

    const PackageLimits m_limits;
    PackageListing m_listing;
    std::string m_partial;  // a line not ended yet
    uint64_t m_textBytes = 0;
    uint64_t m_bytes = 0;
    std::optional<ListingVerdict> m_verdict;
    std::atomic<bool> m_refused{false};
};

}  // namespace qz::vms_server_plugins::analytics::qzai
