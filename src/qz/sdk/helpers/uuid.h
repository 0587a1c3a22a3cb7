// qz::sdk::Uuid: a 16-byte identifier with its text form.
//
// Compared as two 64-bit halves; the null identifier is all zero. randomUuid
// is thread-safe (one generator per thread). uuidFromString never fails: text
// it cannot read gives the null identifier.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace qz::sdk {

struct Uuid {
    std::array<uint8_t, 16> bytes{};

    uint64_t high() const { return half(0); }
    uint64_t low() const { return half(8); }
    bool isNull() const { return high() == 0 && low() == 0; }

    friend bool operator==(const Uuid& a, const Uuid& b) { return a.high() == b.high() && a.low() == b.low(); }
    friend bool operator<(const Uuid& a, const Uuid& b) {
        return a.high() != b.high() ? a.high() < b.high() : a.low() < b.low();
    }

private:
    uint64_t half(size_t offset) const {
        uint64_t value = 0;
        for (size_t i = 0; i < 8; ++i) value = (value << 8) | bytes[offset + i];
        return value;
    }
};

// Format flags of uuidToString; combine with |. 255 gives all of them.
enum UuidFormat : unsigned {
    kUuidUpperCase = 1,
    kUuidHyphens = 2,
    kUuidBraces = 4,
};

// 16 bytes from a 64-bit Mersenne Twister seeded from std::random_device.
Uuid randomUuid();

// The 32 hexadecimal digits of the bytes, in lower case unless kUuidUpperCase,
// grouped 8-4-4-4-12 with kUuidHyphens, inside {} with kUuidBraces.
std::string uuidToString(const Uuid& uuid, unsigned formatFlags = kUuidHyphens | kUuidBraces);

// Reads exactly 32 hexadecimal digits (either case); '-', '{' and '}' are
// skipped. Anything else, or a digit count other than 32, gives the null id.
Uuid uuidFromString(std::string_view text);

}  // namespace qz::sdk

template <>
struct std::hash<qz::sdk::Uuid> {
    size_t operator()(const qz::sdk::Uuid& uuid) const noexcept {
        return std::hash<uint64_t>()(uuid.high() ^ (uuid.low() * 0x9e3779b97f4a7c15ULL));
    }
};
