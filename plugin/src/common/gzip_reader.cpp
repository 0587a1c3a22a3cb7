#include "common/gzip_reader.h"

#include <zlib.h>

#include <cstdio>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr size_t kInputBytes = 64 << 10;
constexpr size_t kOutputBytes = 64 << 10;
constexpr int kGzipOnly = 15 + 16;  // largest window, gzip wrapper only

}  // namespace

struct GzipReader::Inflater {
    z_stream stream{};
    bool ready = false;
    bool inMember = true;  // the data starts with a member
    ~Inflater() {
        if (ready) inflateEnd(&stream);
    }
};

GzipReader::GzipReader(Source source) : m_source(std::move(source)), m_inflater(std::make_unique<Inflater>()) {
    // The signature may arrive in pieces.
    while (m_input.size() < 2 && refill()) {
    }
    if (m_input.size() < 2 || static_cast<unsigned char>(m_input[0]) != 0x1f ||
        static_cast<unsigned char>(m_input[1]) != 0x8b) {
        return;
    }
    m_inflater->ready = inflateInit2(&m_inflater->stream, kGzipOnly) == Z_OK;
    m_isGzip = m_inflater->ready;
}

std::unique_ptr<GzipReader> GzipReader::openFile(const std::string& path) {
    std::shared_ptr<std::FILE> file(std::fopen(path.c_str(), "rb"), [](std::FILE* f) {
        if (f) std::fclose(f);
    });
    return std::make_unique<GzipReader>([file](char* buffer, size_t capacity) -> std::optional<size_t> {
        if (!file) return size_t{0};
        const size_t n = std::fread(buffer, 1, capacity, file.get());
        if (n == 0 && std::ferror(file.get())) return std::nullopt;
        return n;
    });
}

GzipReader::~GzipReader() = default;

// Appends source bytes to the unread input; false at the end or on an error
// (which is recorded).
bool GzipReader::refill() {
    if (m_inputStart == m_input.size()) {
        m_input.clear();
        m_inputStart = 0;
    }
    const size_t kept = m_input.size();
    m_input.resize(kept + kInputBytes);
    const std::optional<size_t> n = m_source(m_input.data() + kept, kInputBytes);
    m_input.resize(kept + (n ? std::min(*n, kInputBytes) : 0));
    if (!n) m_failed = true;
    return n && *n > 0;
}

bool GzipReader::next(std::string* block) {
    if (!m_isGzip || m_failed || m_ended) return false;
    z_stream& stream = m_inflater->stream;
    block->resize(kOutputBytes);
    stream.next_out = reinterpret_cast<Bytef*>(block->data());
    stream.avail_out = static_cast<uInt>(block->size());
    const uint64_t inputLimit = m_inputInflated + kMaxInputPerCall;
    while (stream.avail_out > 0 && !m_failed && !m_ended && m_inputInflated < inputLimit) {
        if (m_inputStart == m_input.size() && !refill()) {
            // The data ends cleanly only between members.
            m_failed = m_failed || m_inflater->inMember;
            m_ended = !m_failed;
            break;
        }
        if (!m_inflater->inMember) {
            // Bytes after a member: they must form the next one.
            m_failed = inflateReset(&stream) != Z_OK;
            m_inflater->inMember = true;
            continue;
        }
        const size_t offered = m_input.size() - m_inputStart;
        stream.next_in = reinterpret_cast<Bytef*>(m_input.data() + m_inputStart);
        stream.avail_in = static_cast<uInt>(offered);
        const int rc = inflate(&stream, Z_NO_FLUSH);
        m_inputInflated += offered - stream.avail_in;
        m_inputStart = m_input.size() - stream.avail_in;
        if (rc == Z_STREAM_END) {
            m_inflater->inMember = false;
        } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && stream.avail_in == 0)) {
            m_failed = true;
        }
    }
    block->resize(block->size() - stream.avail_out);
    return !m_failed && (!block->empty() || !m_ended);
}

bool GzipReader::readToEnd() { return readToEnd(SIZE_MAX); }

bool GzipReader::readToEnd(size_t limit) {
    std::string scratch;
    size_t read = 0;
    const uint64_t inflatedBefore = m_inputInflated;
    while (read < limit && m_inputInflated - inflatedBefore < limit && next(&scratch)) read += scratch.size();
    return m_isGzip && !m_failed;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
