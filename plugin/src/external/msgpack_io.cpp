#include "external/msgpack_io.h"

#include <cstring>
#include <limits>

namespace qz::vms_server_plugins::analytics::qzai {

// ---- writer -----------------------------------------------------------------

MpWriter::MpWriter(size_t reserve) {
    msgpack_sbuffer_init(&m_buffer);
    if (reserve > 0) {
        m_buffer.data = static_cast<char*>(std::malloc(reserve));
        if (m_buffer.data == nullptr) {
            m_failed = true;
        } else {
            m_buffer.alloc = reserve;
        }
    }
    msgpack_packer_init(&m_packer, &m_buffer, msgpack_sbuffer_write);
}

MpWriter::~MpWriter() { msgpack_sbuffer_destroy(&m_buffer); }

void MpWriter::check(int result) {
    if (result != 0) m_failed = true;
}

void MpWriter::map(uint32_t pairs) {
    if (!m_failed) check(msgpack_pack_map(&m_packer, pairs));
}

void MpWriter::array(uint32_t elements) {
    if (!m_failed) check(msgpack_pack_array(&m_packer, elements));
}

void MpWriter::str(std::string_view text) {
    if (m_failed) return;
    if (text.size() > std::numeric_limits<uint32_t>::max() || (text.data() == nullptr && !text.empty())) {
        m_failed = true;
        return;
    }
    check(msgpack_pack_str(&m_packer, text.size()));
    if (!m_failed && !text.empty()) check(msgpack_pack_str_body(&m_packer, text.data(), text.size()));
}

void MpWriter::bin(const void* data, size_t size) {
    if (m_failed) return;
    if (size > std::numeric_limits<uint32_t>::max() || (data == nullptr && size > 0)) {
        m_failed = true;
        return;
    }
    check(msgpack_pack_bin(&m_packer, size));
    if (!m_failed && size > 0) check(msgpack_pack_bin_body(&m_packer, data, size));
}

void MpWriter::binHeader(size_t size) {
    if (m_failed) return;
    if (size > std::numeric_limits<uint32_t>::max()) {
        m_failed = true;
        return;
    }
    check(msgpack_pack_bin(&m_packer, size));
}

void MpWriter::i64(int64_t value) {
    if (!m_failed) check(msgpack_pack_int64(&m_packer, value));
}

void MpWriter::u64(uint64_t value) {
    if (!m_failed) check(msgpack_pack_uint64(&m_packer, value));
}

void MpWriter::i32(int32_t value) {
    if (!m_failed) check(msgpack_pack_int32(&m_packer, value));
}

void MpWriter::f32(float value) {
    if (!m_failed) check(msgpack_pack_float(&m_packer, value));
}

void MpWriter::nil() {
    if (!m_failed) check(msgpack_pack_nil(&m_packer));
}

void MpWriter::boolean(bool value) {
    if (!m_failed) check(value ? msgpack_pack_true(&m_packer) : msgpack_pack_false(&m_packer));
}

std::optional<MessageBuffer> MpWriter::finish() {
    if (m_failed) {
        msgpack_sbuffer_destroy(&m_buffer);
        msgpack_sbuffer_init(&m_buffer);
        return std::nullopt;
    }
    MessageBuffer out;
    out.size = m_buffer.size;
    out.data.reset(reinterpret_cast<uint8_t*>(msgpack_sbuffer_release(&m_buffer)));
    if (!out.data) out.data.reset(static_cast<uint8_t*>(std::malloc(1)));  // an empty writer
    if (!out.data) return std::nullopt;
    return out;
}

// ---- pre-scan ---------------------------------------------------------------

namespace {

uint64_t bigEndian(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
    return value;
}

}  // namespace

std::optional<size_t> mpPrescan(std::span<const uint8_t> bytes) { return mpPrescanCopy(bytes, nullptr); }

std::optional<size_t> mpPrescanCopy(std::span<const uint8_t> bytes, uint8_t* copy) {
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    // With a copy, every byte that decides the walk is taken into it first and
    // read from there, so the copy holds exactly the message that was checked.
    auto take = [&](size_t at, size_t count) -> const uint8_t* {
        if (copy == nullptr) return data + at;
        if (count > 0) std::memcpy(copy + at, data + at, count);
        return copy + at;
    };
    size_t pos = 0;
    size_t nodes = 0;
    uint64_t left[kMpMaxDepth + 1];  // values still to read at each open level
    int depth = 0;
    left[0] = 1;
    for (;;) {
        while (depth >= 0 && left[depth] == 0) --depth;
        if (depth < 0) return pos;
        --left[depth];
        if (pos >= size || ++nodes > kMpMaxNodes) return std::nullopt;
        const uint8_t format = *take(pos, 1);
        ++pos;
        int lengthBytes = 0;     // size of a length or count field after the format byte
        uint64_t fixed = 0;      // payload bytes known from the format
        int container = 0;       // 1 array, 2 map
        uint64_t count = 0;
        if (format <= 0x7f || format >= 0xe0 || format == 0xc0 || format == 0xc2 || format == 0xc3) {
        } else if (format <= 0x8f) {
            container = 2, count = format & 0x0f;
        } else if (format <= 0x9f) {
            container = 1, count = format & 0x0f;
        } else if (format <= 0xbf) {
            fixed = format & 0x1f;
        } else {
            switch (format) {
                case 0xc4: case 0xd9: lengthBytes = 1; break;
                case 0xc5: case 0xda: lengthBytes = 2; break;
                case 0xc6: case 0xdb: lengthBytes = 4; break;
                case 0xc7: lengthBytes = 1, fixed = 1; break;
                case 0xc8: lengthBytes = 2, fixed = 1; break;
                case 0xc9: lengthBytes = 4, fixed = 1; break;
                case 0xca: fixed = 4; break;
                case 0xcb: fixed = 8; break;
                case 0xcc: case 0xd0: fixed = 1; break;
                case 0xcd: case 0xd1: fixed = 2; break;
                case 0xce: case 0xd2: fixed = 4; break;
                case 0xcf: case 0xd3: fixed = 8; break;
                case 0xd4: fixed = 2; break;
                case 0xd5: fixed = 3; break;
                case 0xd6: fixed = 5; break;
                case 0xd7: fixed = 9; break;
                case 0xd8: fixed = 17; break;
                case 0xdc: container = 1, lengthBytes = 2; break;
                case 0xdd: container = 1, lengthBytes = 4; break;
                case 0xde: container = 2, lengthBytes = 2; break;
                case 0xdf: container = 2, lengthBytes = 4; break;
                default: return std::nullopt;  // 0xc1 is never used
            }
        }
        if (size - pos < static_cast<size_t>(lengthBytes)) return std::nullopt;
        const uint64_t length = bigEndian(take(pos, static_cast<size_t>(lengthBytes)), lengthBytes);
        pos += static_cast<size_t>(lengthBytes);
        if (container != 0) {
            if (lengthBytes > 0) count = length;
            const uint64_t values = count * static_cast<uint64_t>(container);
            if (values > size - pos) return std::nullopt;  // each value takes at least one byte
            if (values == 0) continue;
            if (depth + 1 > kMpMaxDepth) return std::nullopt;
            left[++depth] = values;
            continue;
        }
        const uint64_t payload = fixed + (lengthBytes > 0 ? length : 0);
        if (payload > size - pos) return std::nullopt;
        // A bin's bytes decide nothing: they are read where they are.
        const bool isBin = format == 0xc4 || format == 0xc5 || format == 0xc6;
        if (!isBin) take(pos, static_cast<size_t>(payload));
        pos += static_cast<size_t>(payload);
    }
}

// ---- reader -----------------------------------------------------------------

MpReader::MpReader(std::span<const uint8_t> bytes) {
    msgpack_unpacked_init(&m_unpacked);
    // The unpacker sizes its allocations by the counts it reads, so it reads
    // them from a private copy of what the pre-scan checked: bytes that
    // another process may rewrite meanwhile cannot make it allocate more.
    // The copy's pages under bins are never written (so large ones are never
    // touched); bins are read from the bytes given.
    m_copy.reset(new (std::nothrow) uint8_t[std::max<size_t>(bytes.size(), 1)]);
    if (!m_copy) {
        m_error = MpError::Parse;
        return;
    }
    m_source = bytes.data();
    const std::optional<size_t> messageSize = mpPrescanCopy(bytes, m_copy.get());
    if (!messageSize) {
        m_error = MpError::Parse;
        return;
    }
    size_t offset = 0;
    const msgpack_unpack_return result =
        msgpack_unpack_next(&m_unpacked, reinterpret_cast<const char*>(m_copy.get()), *messageSize, &offset);
    if (result != MSGPACK_UNPACK_SUCCESS) {
        m_error = MpError::Parse;
        return;
    }
    m_root = &m_unpacked.data;
}

MpReader::~MpReader() { msgpack_unpacked_destroy(&m_unpacked); }

void MpReader::fail(MpError error) {
    if (m_error == MpError::None) m_error = error;
}

bool MpReader::usable(Node node, msgpack_object_type type) {
    if (!ok()) return false;
    if (node == nullptr || node->type != type) {
        fail(MpError::Type);
        return false;
    }
    return true;
}

MpReader::Node MpReader::root() { return ok() ? m_root : nullptr; }

MpReader::Node MpReader::findOptional(Node map, std::string_view key) {
    if (!ok() || map == nullptr || map->type != MSGPACK_OBJECT_MAP) return nullptr;
    for (uint32_t i = 0; i < map->via.map.size; ++i) {
        const msgpack_object& k = map->via.map.ptr[i].key;
        if (k.type == MSGPACK_OBJECT_STR && k.via.str.size == key.size() &&
            (key.empty() || std::memcmp(k.via.str.ptr, key.data(), key.size()) == 0)) {
            return &map->via.map.ptr[i].val;
        }
    }
    return nullptr;
}

MpReader::Node MpReader::find(Node map, std::string_view key) {
    if (!usable(map, MSGPACK_OBJECT_MAP)) return nullptr;
    Node value = findOptional(map, key);
    if (value == nullptr) fail(MpError::Missing);
    return value;
}

uint32_t MpReader::mapSize(Node map) { return usable(map, MSGPACK_OBJECT_MAP) ? map->via.map.size : 0; }

MpReader::Node MpReader::mapKey(Node map, uint32_t index) {
    if (!usable(map, MSGPACK_OBJECT_MAP)) return nullptr;
    if (index >= map->via.map.size) {
        fail(MpError::Bounds);
        return nullptr;
    }
    return &map->via.map.ptr[index].key;
}

MpReader::Node MpReader::mapValue(Node map, uint32_t index) {
    if (!usable(map, MSGPACK_OBJECT_MAP)) return nullptr;
    if (index >= map->via.map.size) {
        fail(MpError::Bounds);
        return nullptr;
    }
    return &map->via.map.ptr[index].val;
}

uint32_t MpReader::arraySize(Node array) { return usable(array, MSGPACK_OBJECT_ARRAY) ? array->via.array.size : 0; }

MpReader::Node MpReader::arrayAt(Node array, uint32_t index) {
    if (!usable(array, MSGPACK_OBJECT_ARRAY)) return nullptr;
    if (index >= array->via.array.size) {
        fail(MpError::Bounds);
        return nullptr;
    }
    return &array->via.array.ptr[index];
}

int64_t MpReader::i64(Node node) {
    if (!ok()) return 0;
    if (node != nullptr && node->type == MSGPACK_OBJECT_NEGATIVE_INTEGER) return node->via.i64;
    if (node != nullptr && node->type == MSGPACK_OBJECT_POSITIVE_INTEGER) {
        if (node->via.u64 <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return static_cast<int64_t>(node->via.u64);
        }
        fail(MpError::Range);
        return 0;
    }
    fail(MpError::Type);
    return 0;
}

int32_t MpReader::i32(Node node) {
    const int64_t value = i64(node);
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        fail(MpError::Range);
        return 0;
    }
    return static_cast<int32_t>(value);
}

uint64_t MpReader::u64(Node node) {
    if (!ok()) return 0;
    if (node != nullptr && node->type == MSGPACK_OBJECT_POSITIVE_INTEGER) return node->via.u64;
    fail(node != nullptr && node->type == MSGPACK_OBJECT_NEGATIVE_INTEGER ? MpError::Range : MpError::Type);
    return 0;
}

double MpReader::number(Node node) {
    if (!ok()) return 0.0;
    if (node != nullptr) {
        switch (node->type) {
            case MSGPACK_OBJECT_FLOAT32:
            case MSGPACK_OBJECT_FLOAT64: return node->via.f64;
            case MSGPACK_OBJECT_POSITIVE_INTEGER: return static_cast<double>(node->via.u64);
            case MSGPACK_OBJECT_NEGATIVE_INTEGER: return static_cast<double>(node->via.i64);
            default: break;
        }
    }
    fail(MpError::Type);
    return 0.0;
}

bool MpReader::boolean(Node node) { return usable(node, MSGPACK_OBJECT_BOOLEAN) && node->via.boolean; }

std::string_view MpReader::str(Node node) {
    if (!usable(node, MSGPACK_OBJECT_STR)) return {};
    return {node->via.str.ptr, node->via.str.size};
}

std::span<const uint8_t> MpReader::bin(Node node) {
    if (!usable(node, MSGPACK_OBJECT_BIN)) return {};
    // The same place in the bytes given, which the copy left out.
    const auto at = reinterpret_cast<const uint8_t*>(node->via.bin.ptr) - m_copy.get();
    return {m_source + at, node->via.bin.size};
}

bool MpReader::copyCString(Node node, char* out, size_t capacity) {
    if (!usable(node, MSGPACK_OBJECT_STR)) return false;
    const size_t length = node->via.str.size;
    if (length >= capacity || (length > 0 && std::memchr(node->via.str.ptr, 0, length) != nullptr)) {
        fail(MpError::Range);
        return false;
    }
    if (length > 0) std::memcpy(out, node->via.str.ptr, length);
    out[length] = '\0';
    return true;
}

MpType MpReader::type(Node node) const {
    if (node == nullptr || !ok()) return MpType::Nil;
    switch (node->type) {
        case MSGPACK_OBJECT_BOOLEAN: return MpType::Bool;
        case MSGPACK_OBJECT_POSITIVE_INTEGER: return MpType::UInt;
        case MSGPACK_OBJECT_NEGATIVE_INTEGER: return MpType::Int;
        case MSGPACK_OBJECT_FLOAT32:
        case MSGPACK_OBJECT_FLOAT64: return MpType::Float;
        case MSGPACK_OBJECT_STR: return MpType::Str;
        case MSGPACK_OBJECT_BIN: return MpType::Bin;
        case MSGPACK_OBJECT_ARRAY: return MpType::Array;
        case MSGPACK_OBJECT_MAP: return MpType::Map;
        case MSGPACK_OBJECT_EXT: return MpType::Ext;
        default: return MpType::Nil;
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
