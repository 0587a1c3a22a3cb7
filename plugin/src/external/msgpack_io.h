// MessagePack writing and reading for the external-processor messages, over
// the msgpack-c C API.
//
// MpWriter builds one message into a malloc'd buffer. Integers take their
// smallest encoding (non-negative values in the unsigned formats) and floats
// are written as float 32. The first failure (out of memory, a str or bin
// longer than UINT32_MAX, null data with a length) is sticky: later calls do
// nothing and finish() gives no buffer.
//
// MpReader reads one message from bytes the caller keeps alive while reading
// (bin views point into them). Before msgpack-c sees the message, the
// pre-scan walks it without allocating and refuses container counts that
// the remaining bytes cannot hold, lengths beyond the buffer, nesting deeper
// than kMpMaxDepth and more than kMpMaxNodes values; msgpack-c reserves memory
// per announced element, so a few bytes could otherwise ask for gigabytes.
// The walk copies what it checked (all but bin payloads) into the reader's
// own buffer, which msgpack-c then reads (str views point there), so bytes in
// memory another process shares cannot change between check and use.
// Trailing bytes after the message are ignored. Map lookups compare str keys
// exactly; of repeated keys the first counts. The first failed read sets a
// sticky error, after which every lookup gives the nil node (null) and every
// scalar read gives 0 or empty.
//
// Neither class is thread-safe; each is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include <msgpack.h>

namespace qz::vms_server_plugins::analytics::qzai {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A finished message: `size` bytes at `data`, released with free().
struct MessageBuffer {
    std::unique_ptr<uint8_t[], FreeDeleter> data;
    size_t size = 0;

    std::span<const uint8_t> bytes() const { return {data.get(), size}; }
};

class MpWriter {
public:
    // `reserve` > 0 allocates that many bytes up front, so a message whose
    // size was computed in advance is written without regrowing.
    explicit MpWriter(size_t reserve = 0);
    ~MpWriter();
    MpWriter(const MpWriter&) = delete;
    MpWriter& operator=(const MpWriter&) = delete;

    void map(uint32_t pairs);
    void array(uint32_t elements);
    void str(std::string_view text);
    void bin(const void* data, size_t size);
    // A bin's header alone: its `size` bytes are not written here but travel
    // right after this point of the message (see size()).
    void binHeader(size_t size);
    void i64(int64_t value);
    void u64(uint64_t value);
    void i32(int32_t value);
    void f32(float value);
    void nil();
    void boolean(bool value);

    bool ok() const { return !m_failed; }
    // Bytes written so far.
    size_t size() const { return m_buffer.size; }
    // The message, or nothing after a failure (the buffer is then freed).
    std::optional<MessageBuffer> finish();

private:
    void check(int result);

    msgpack_sbuffer m_buffer{};
    msgpack_packer m_packer{};
    bool m_failed = false;
};

inline constexpr int kMpMaxDepth = 32;
inline constexpr size_t kMpMaxNodes = 1'048'576;

// Walks one message at the start of `bytes` within the limits above. Gives
// the message's size, or nothing when it is truncated, malformed (0xc1) or
// beyond a limit.
std::optional<size_t> mpPrescan(std::span<const uint8_t> bytes);
// The same, copying into `copy` (room for bytes.size()) every byte it decides
// by and every payload but those of bins, each read once.
std::optional<size_t> mpPrescanCopy(std::span<const uint8_t> bytes, uint8_t* copy);

enum class MpType { Nil, Bool, UInt, Int, Float, Str, Bin, Array, Map, Ext };

enum class MpError { None, Parse, Missing, Type, Range, Bounds };

class MpReader {
public:
    using Node = const msgpack_object*;  // null is the nil node

    explicit MpReader(std::span<const uint8_t> bytes);
    ~MpReader();
    MpReader(const MpReader&) = delete;
    MpReader& operator=(const MpReader&) = delete;

    bool ok() const { return m_error == MpError::None; }
    MpError error() const { return m_error; }
    // True when the bytes did not hold one valid message.
    bool parseFailed() const { return m_error == MpError::Parse; }

    Node root();
    // The value under `key`; absent or not a map is an error.
    Node find(Node map, std::string_view key);
    // The value under `key`, or null without an error when absent or when
    // `map` is not a map.
    Node findOptional(Node map, std::string_view key);
    uint32_t mapSize(Node map);
    Node mapKey(Node map, uint32_t index);
    Node mapValue(Node map, uint32_t index);
    uint32_t arraySize(Node array);
    Node arrayAt(Node array, uint32_t index);

    int64_t i64(Node node);
    int32_t i32(Node node);
    uint64_t u64(Node node);
    double number(Node node);  // any integer or float
    bool boolean(Node node);
    std::string_view str(Node node);
    std::span<const uint8_t> bin(Node node);
    // Copies a str without NUL bytes that fits `capacity` with its
    // terminator; anything else is an error.
    bool copyCString(Node node, char* out, size_t capacity);
    MpType type(Node node) const;

    void fail(MpError error);

private:
    bool usable(Node node, msgpack_object_type type);

    std::unique_ptr<uint8_t[]> m_copy;  // what the unpacker reads
    const uint8_t* m_source = nullptr;   // the bytes given: bins are read there
    msgpack_unpacked m_unpacked{};
    Node m_root = nullptr;
    MpError m_error = MpError::None;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
