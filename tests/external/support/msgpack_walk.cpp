#include "external/support/msgpack_walk.h"

#include <cstring>

namespace qz::test {

namespace {

struct Walker {
    std::string_view in;
    size_t pos = 0;
    bool bad = false;

    uint64_t take(int size) {
        if (in.size() - pos < static_cast<size_t>(size)) {
            bad = true;
            return 0;
        }
        uint64_t value = 0;
        for (int k = 0; k < size; ++k) value = value << 8 | static_cast<uint8_t>(in[pos++]);
        return value;
    }
    std::string takeBytes(uint64_t size) {
        if (in.size() - pos < size) {
            bad = true;
            return {};
        }
        std::string out(in.substr(pos, size));
        pos += size;
        return out;
    }
    MpValue value(int depth) {
        MpValue v;
        if (bad || depth > 64 || pos >= in.size()) {
            bad = true;
            return v;
        }
        const uint8_t b = static_cast<uint8_t>(in[pos++]);
        auto items = [&](uint64_t n) {
            for (uint64_t k = 0; k < n && !bad; ++k) v.items.push_back(value(depth + 1));
        };
        if (b <= 0x7f) v.format = "posfixint", v.u = b;
        else if (b >= 0xe0) v.format = "negfixint", v.i = static_cast<int8_t>(b);
        else if (b <= 0x8f) v.format = "fixmap", items(2u * (b & 0x0f));
        else if (b <= 0x9f) v.format = "fixarray", items(b & 0x0f);
        else if (b <= 0xbf) v.format = "fixstr", v.bytes = takeBytes(b & 0x1f);
        else switch (b) {
            case 0xc0: v.format = "nil"; break;
            case 0xc2: case 0xc3: v.format = "bool", v.u = b & 1; break;
            case 0xc4: v.format = "bin8", v.bytes = takeBytes(take(1)); break;
            case 0xc5: v.format = "bin16", v.bytes = takeBytes(take(2)); break;
            case 0xc6: v.format = "bin32", v.bytes = takeBytes(take(4)); break;
            case 0xca: { v.format = "float32"; uint32_t w = static_cast<uint32_t>(take(4)); float x; std::memcpy(&x, &w, 4); v.f = x; break; }
            case 0xcb: { v.format = "float64"; uint64_t w = take(8); std::memcpy(&v.f, &w, 8); break; }
            case 0xcc: v.format = "uint8", v.u = take(1); break;
            case 0xcd: v.format = "uint16", v.u = take(2); break;
            case 0xce: v.format = "uint32", v.u = take(4); break;
            case 0xcf: v.format = "uint64", v.u = take(8); break;
            case 0xd0: v.format = "int8", v.i = static_cast<int8_t>(take(1)); break;
            case 0xd1: v.format = "int16", v.i = static_cast<int16_t>(take(2)); break;
            case 0xd2: v.format = "int32", v.i = static_cast<int32_t>(take(4)); break;
            case 0xd3: v.format = "int64", v.i = static_cast<int64_t>(take(8)); break;
            case 0xd9: v.format = "str8", v.bytes = takeBytes(take(1)); break;
            case 0xda: v.format = "str16", v.bytes = takeBytes(take(2)); break;
            case 0xdb: v.format = "str32", v.bytes = takeBytes(take(4)); break;
            case 0xdc: v.format = "array16", items(take(2)); break;
            case 0xdd: v.format = "array32", items(take(4)); break;
            case 0xde: v.format = "map16", items(2 * take(2)); break;
            case 0xdf: v.format = "map32", items(2 * take(4)); break;
            default: bad = true;  // ext formats are not used by these messages
        }
        return v;
    }
};

}  // namespace

const MpValue* MpValue::at(std::string_view key) const {
    for (size_t k = 0; k + 1 < items.size(); k += 2) {
        if (items[k].format.find("str") != std::string::npos && items[k].bytes == key) return &items[k + 1];
    }
    return nullptr;
}

std::vector<std::string> MpValue::keys() const {
    std::vector<std::string> out;
    for (size_t k = 0; k + 1 < items.size(); k += 2) out.push_back(items[k].bytes);
    return out;
}

std::optional<MpValue> mpWalk(std::string_view bytes) {
    Walker walker{bytes};
    MpValue root = walker.value(0);
    if (walker.bad) return std::nullopt;
    return root;
}

void MpEncoder::bigEndian(uint64_t value, int size) {
    for (int k = size - 1; k >= 0; --k) m_bytes.push_back(static_cast<char>(value >> (8 * k)));
}

MpEncoder& MpEncoder::map(uint32_t pairs) {
    if (pairs < 16) m_bytes.push_back(static_cast<char>(0x80 | pairs));
    else m_bytes.push_back(static_cast<char>(0xdf)), bigEndian(pairs, 4);
    return *this;
}

MpEncoder& MpEncoder::array(uint32_t elements) {
    if (elements < 16) m_bytes.push_back(static_cast<char>(0x90 | elements));
    else m_bytes.push_back(static_cast<char>(0xdd)), bigEndian(elements, 4);
    return *this;
}

MpEncoder& MpEncoder::str(std::string_view text) {
    m_bytes.push_back(static_cast<char>(0xdb));
    bigEndian(text.size(), 4);
    m_bytes.append(text);
    return *this;
}

MpEncoder& MpEncoder::bin(std::string_view data) {
    m_bytes.push_back(static_cast<char>(0xc6));
    bigEndian(data.size(), 4);
    m_bytes.append(data);
    return *this;
}

MpEncoder& MpEncoder::uint(uint64_t value) {
    m_bytes.push_back(static_cast<char>(0xcf));
    bigEndian(value, 8);
    return *this;
}

MpEncoder& MpEncoder::sint(int64_t value) {
    m_bytes.push_back(static_cast<char>(0xd3));
    bigEndian(static_cast<uint64_t>(value), 8);
    return *this;
}

MpEncoder& MpEncoder::f32(float value) {
    uint32_t w;
    std::memcpy(&w, &value, 4);
    m_bytes.push_back(static_cast<char>(0xca));
    bigEndian(w, 4);
    return *this;
}

MpEncoder& MpEncoder::f64(double value) {
    uint64_t w;
    std::memcpy(&w, &value, 8);
    m_bytes.push_back(static_cast<char>(0xcb));
    bigEndian(w, 8);
    return *this;
}

MpEncoder& MpEncoder::nil() {
    m_bytes.push_back(static_cast<char>(0xc0));
    return *this;
}

MpEncoder& MpEncoder::raw(std::string_view bytes) {
    m_bytes.append(bytes);
    return *this;
}

}  // namespace qz::test
