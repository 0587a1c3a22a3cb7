// MessagePack for tests, independent of msgpack-c: a walker that records the
// format of every value of a message (to check encodings and key order
// without the reader under test) and a small encoder with explicit formats
// (to build responses, including wrong ones).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::test {

struct MpValue {
    std::string format;  // "posfixint", "uint8", "float32", "str8", "bin8", "map16", ...
    std::string bytes;   // str and bin contents
    uint64_t u = 0;      // unsigned integers
    int64_t i = 0;       // signed integers
    double f = 0.0;      // floats
    std::vector<MpValue> items;  // array elements; map keys and values alternating

    size_t pairs() const { return items.size() / 2; }
    // The value under a str key of a map, or null.
    const MpValue* at(std::string_view key) const;
    std::vector<std::string> keys() const;
};

// The message at the start of `bytes`, or nothing when it is malformed.
std::optional<MpValue> mpWalk(std::string_view bytes);

class MpEncoder {
public:
    MpEncoder& map(uint32_t pairs);
    MpEncoder& array(uint32_t elements);
    MpEncoder& str(std::string_view text);
    MpEncoder& bin(std::string_view data);
    MpEncoder& uint(uint64_t value);  // always uint64 (cf)
    MpEncoder& sint(int64_t value);   // always int64 (d3)
    MpEncoder& f32(float value);
    MpEncoder& f64(double value);
    MpEncoder& nil();
    MpEncoder& raw(std::string_view bytes);
    const std::string& bytes() const { return m_bytes; }

private:
    void bigEndian(uint64_t value, int size);
    std::string m_bytes;
};

}  // namespace qz::test
