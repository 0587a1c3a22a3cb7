#include "runtimes/listing_judge.h"

#include <cstdint>

#include "common/run_command.h"

namespace qz::vms_server_plugins::analytics::qzai {

ListingJudge::ListingJudge(PackageLimits limits) : m_limits(limits) {}

bool ListingJudge::add(std::string_view text) {
    if (m_verdict) return false;
    m_textBytes += text.size();
    if (m_textBytes > kMaxCommandOutputBytes) return refuse(ListingVerdict::Cause::TooLong, {});
    for (size_t newline; (newline = text.find('\n')) != std::string_view::npos; text.remove_prefix(newline + 1)) {
        m_partial.append(text.substr(0, newline));
        std::string line;
        line.swap(m_partial);
        if (!judgeLine(std::move(line))) return false;
    }
    m_partial.append(text);
    return true;
}

bool ListingJudge::finish() {
    if (m_verdict) return false;
    std::string line;
    line.swap(m_partial);
    if (!line.empty() && !judgeLine(std::move(line))) return false;
    if (m_listing.unreadableLine) return refuse(ListingVerdict::Cause::UnreadableLine, *m_listing.unreadableLine);
    return true;
}

void ListingJudge::reset() {
    m_listing = {};
    m_partial.clear();
    m_textBytes = 0;
    m_bytes = 0;
    m_verdict.reset();
    m_refused = false;
}

bool ListingJudge::judgeLine(std::string line) {
    const size_t before = m_listing.entries.size();
    if (!readListingLine(std::move(line), &m_listing) || m_listing.entries.size() == before) return true;
    const PackageEntry& entry = m_listing.entries.back();
    if (const auto reason = unsafeEntryReason(entry)) return refuse(ListingVerdict::Cause::UnsafeEntry, entry.name, *reason);
    const uint64_t cost = entryDiskCost(entry.size);
    m_bytes = cost > UINT64_MAX - m_bytes ? UINT64_MAX : m_bytes + cost;
    if (m_listing.entries.size() > m_limits.maxEntries) return refuse(ListingVerdict::Cause::TooManyEntries, entry.name);
    if (m_bytes > m_limits.maxBytes) return refuse(ListingVerdict::Cause::TooManyBytes, entry.name);
    return true;
}

bool ListingJudge::refuse(ListingVerdict::Cause cause, std::string entry, std::string reason) {
    m_verdict = ListingVerdict{cause, std::move(entry), std::move(reason), m_bytes, m_listing.entries.size()};
    m_refused = true;
    return false;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
