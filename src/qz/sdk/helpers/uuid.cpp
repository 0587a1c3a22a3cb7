#include "qz/sdk/helpers/uuid.h"

#include <random>

namespace qz::sdk {

Uuid randomUuid() {
    thread_local std::mt19937_64 generator(std::random_device{}());
    Uuid uuid;
    for (size_t i = 0; i < uuid.bytes.size(); i += 8) {
        uint64_t value = generator();
        for (size_t j = 0; j < 8; ++j) uuid.bytes[i + j] = static_cast<uint8_t>(value >> (8 * j));
    }
    return uuid;
}

std::string uuidToString(const Uuid& uuid, unsigned formatFlags) {
    const char* digits = (formatFlags & kUuidUpperCase) ? "0123456789ABCDEF" : "0123456789abcdef";
    const bool hyphens = formatFlags & kUuidHyphens;
    const bool braces = formatFlags & kUuidBraces;
    std::string text;
    text.reserve(38);
    if (braces) text += '{';
    for (size_t i = 0; i < uuid.bytes.size(); ++i) {
        if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) text += '-';
        text += digits[uuid.bytes[i] >> 4];
        text += digits[uuid.bytes[i] & 0xf];
    }
    if (braces) text += '}';
    return text;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

Uuid uuidFromString(std::string_view text) {
    Uuid uuid;
    size_t digitCount = 0;
    for (char c : text) {
        if (c == '-' || c == '{' || c == '}') continue;
        const int value = hexValue(c);
        if (value < 0 || digitCount == 32) return Uuid{};
        uint8_t& byte = uuid.bytes[digitCount / 2];
        byte = static_cast<uint8_t>(digitCount % 2 == 0 ? value << 4 : byte | value);
        ++digitCount;
    }
    return digitCount == 32 ? uuid : Uuid{};
}

}  // namespace qz::sdk
