#include <gtest/gtest.h>

#include <set>

#include "qz/sdk/helpers/uuid.h"

namespace qz::sdk {
namespace {

Uuid sample() {
    Uuid uuid;
    for (size_t i = 0; i < 16; ++i) uuid.bytes[i] = static_cast<uint8_t>(0x1f + 0x13 * i);
    return uuid;
}

TEST(Uuid, TextRoundTripsForEveryFlagCombination) {
    const Uuid uuid = sample();
    for (unsigned flags = 0; flags < 8; ++flags) {
        const std::string text = uuidToString(uuid, flags);
        const size_t expected = 32 + ((flags & kUuidHyphens) ? 4 : 0) + ((flags & kUuidBraces) ? 2 : 0);
        EXPECT_EQ(text.size(), expected) << "flags " << flags;
        EXPECT_EQ(uuidFromString(text), uuid) << text;
        const bool upper = flags & kUuidUpperCase;
        for (char c : text) EXPECT_FALSE(upper ? std::islower(c) : std::isupper(c)) << text;
    }
    EXPECT_EQ(uuidToString(uuid, 255), "{1F324558-6B7E-91A4-B7CA-DDF00316293C}");
    EXPECT_EQ(uuidToString(uuid, 0), "1f3245586b7e91a4b7caddf00316293c");
}

TEST(Uuid, MalformedTextGivesTheNullId) {
    const std::string good = uuidToString(sample(), kUuidHyphens);
    for (const std::string& bad : {
             std::string(),
             good.substr(0, good.size() - 1),          // 31 digits
             good + "0",                               // 33 digits
             std::string("g").append(good, 1),         // stray letter
             good.substr(0, 8) + " " + good.substr(9), // space for a hyphen
             std::string("(").append(good).append(")"),
         }) {
        EXPECT_TRUE(uuidFromString(bad).isNull()) << '"' << bad << '"';
    }
    EXPECT_TRUE(Uuid{}.isNull());
}

TEST(Uuid, RandomIdsAreDistinctAndOrderedByHalves) {
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid uuid = randomUuid();
        EXPECT_FALSE(uuid.isNull());
        EXPECT_TRUE(seen.insert(uuid).second);
    }
    Uuid a, b;
    a.bytes[7] = 1;   // high half
    b.bytes[15] = 9;  // low half
    EXPECT_TRUE(b < a);
    EXPECT_FALSE(a < b);
    EXPECT_NE(std::hash<Uuid>()(a), std::hash<Uuid>()(b));
}

}  // namespace
}  // namespace qz::sdk
