// Reading gzip data as its uncompressed bytes, block by block, in this
// process: one or more members back to back, as gzip writes and reads them.
// The compressed bytes come from a file or from any source function.
//
// Ownership: the reader owns its source and the inflate state. Not
// thread-safe; one reader belongs to one thread at a time (the source is
// called on that thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

class GzipReader {
public:
    // Copies up to `capacity` compressed bytes into `buffer`: how many, 0 at
    // the end of the data, empty on a read error. May block.
    using Source = std::function<std::optional<size_t>(char* buffer, size_t capacity)>;

    explicit GzipReader(Source source);
    // A file's bytes; a file that cannot be opened reads as not gzip.
    static std::unique_ptr<GzipReader> openFile(const std::string& path);
    ~GzipReader();
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    // True when the data begins with the gzip signature (read at construction).
    bool isGzip() const { return m_isGzip; }

    // Replaces *block with the next uncompressed bytes. One call inflates at
    // most kMaxInputPerCall compressed bytes, so its time is bounded whatever
    // the data: a block may be empty when those inflated to nothing (deflate
    // blocks without content). False once the data has ended cleanly, or at
    // the first fault: see failed().
    bool next(std::string* block);

    // Reads the rest without keeping it. True when all of the data turned out
    // to be well-formed gzip members and nothing else.
    bool readToEnd();
    // The same, but stops once `limit` more uncompressed bytes have been read
    // or `limit` more compressed bytes inflated, whichever comes first (then
    // true unless a fault came before), as a reader that has what it wanted
    // leaves the rest unread: what follows can be of any length.
    bool readToEnd(size_t limit);

    static constexpr size_t kMaxInputPerCall = size_t{1} << 20;

    // A read error, damaged data, data that ends inside a member, or bytes
    // after a member that do not start another one (GNU gzip tolerates some
    // of those; this reader does not).
    bool failed() const { return m_failed; }

private:
    bool refill();

    struct Inflater;
    Source m_source;
    std::unique_ptr<Inflater> m_inflater;
    std::string m_input;  // compressed bytes not yet inflated start at m_inputStart
    size_t m_inputStart = 0;
    uint64_t m_inputInflated = 0;  // compressed bytes handed to inflate so far
    bool m_isGzip = false;
    bool m_failed = false;
    bool m_ended = false;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
