// Type ids, class-name parsing, text, JSON and small record helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

#include "common/cpu_architecture.h"
#include "common/json_utils.h"
#include "common/messaging_manager.h"
#include "common/object_type_id.h"
#include "inference/tensor_utils.h"
#include "common/text_utils.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

int format(char* buffer, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int format(char* buffer, size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int n = qzai::formatToBuffer(buffer, size, fmt, args);
    va_end(args);
    return n;
}

}  // namespace

TEST(ObjectTypeId, SanitisesAndMatchesBaseTypesIgnoringCase) {
    EXPECT_EQ(qzai::toObjectTypeId("person"), "qz.base.Person");
    EXPECT_EQ(qzai::toObjectTypeId("LICENSEPLATE"), "qz.base.LicensePlate");
    EXPECT_EQ(qzai::toObjectTypeId("hard hat"), "qz.qzai.hard_hat");
    EXPECT_EQ(qzai::toObjectTypeId(".car"), "qz.qzai._car");  // '.' not allowed first
    EXPECT_EQ(qzai::toObjectTypeId("v1.2_x-y"), "qz.qzai.v1.2_x_y");
    EXPECT_EQ(qzai::toObjectTypeId("_9"), "qz.qzai._9");
    // Each byte of a non-ASCII character becomes '_' (no locale involved).
    EXPECT_EQ(qzai::toObjectTypeId("caf\xc3\xa9"), "qz.qzai.caf__");
    EXPECT_EQ(qzai::toObjectTypeId("\xff" "dog"), "qz.qzai._dog");
    EXPECT_EQ(qzai::toObjectTypeId("d\xc3\xb6g"), "qz.qzai.d__g");

    EXPECT_TRUE(qzai::isBaseObjectTypeId("qz.base.Car"));
    EXPECT_FALSE(qzai::isBaseObjectTypeId("qz.Base.Car"));
    EXPECT_FALSE(qzai::isBaseObjectTypeId("qz.qzai.car"));

    std::set<std::string> lowered;
    for (const auto name : qzai::kBaseObjectTypeNames) {
        EXPECT_EQ(qzai::toObjectTypeId(std::string(name)), "qz.base." + std::string(name));
        std::string lower(name);
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        lowered.insert(lower);
    }
    EXPECT_EQ(lowered.size(), 36u);  // no two entries differ only by case
}

TEST(ParseClassNames, FollowsIndicesAndSkipsNonClassEntries) {
    using V = std::vector<std::string>;
    EXPECT_EQ(qzai::parseClassNames("scores-0:person;1:car;;bboxes-format:xyxy;junk;2:a:b"),
              (V{"person", "car", "a:b"}));
    EXPECT_EQ(qzai::parseClassNames(""), V{});
    EXPECT_EQ(qzai::parseClassNames("0:a;2:b"), V{});   // out of sequence
    EXPECT_EQ(qzai::parseClassNames("0:a;x:b"), V{});   // not a number
    EXPECT_EQ(qzai::parseClassNames("-0:a"), V{});
    EXPECT_EQ(qzai::parseClassNames(" 0:a"), V{});
    EXPECT_EQ(qzai::parseClassNames("99999999999999999999999:a"), V{});  // too large: not a number
    EXPECT_EQ(qzai::parseClassNames("0:"), (V{""}));
}

TEST(ParseInteger, RangeAndShape) {
    EXPECT_EQ(qzai::parseInteger<int>("-42"), -42);
    EXPECT_EQ(qzai::parseInteger<int>("2147483647"), 2147483647);
    EXPECT_FALSE(qzai::parseInteger<int>("2147483648"));
    EXPECT_FALSE(qzai::parseInteger<uint32_t>("-1"));
    EXPECT_FALSE(qzai::parseInteger<int>("+1"));
    EXPECT_FALSE(qzai::parseInteger<int>("1 "));
    EXPECT_FALSE(qzai::parseInteger<int>(""));
}

TEST(TextHelpers, HtmlLinkAndFormatting) {
    EXPECT_EQ(qzai::makeHtmlLink("https://x/y", "docs"), "<a href=\"https://x/y\">docs</a>");
    EXPECT_EQ(qzai::makeHtmlLink("https://x/y", ""), "<a href=\"https://x/y\">https://x/y</a>");
    EXPECT_EQ(qzai::makeHtmlLink("", "docs"), "");

    char buffer[8];
    EXPECT_EQ(format(buffer, sizeof(buffer), "%s-%d", "abcdef", 12), 9);
    EXPECT_STREQ(buffer, "abcdef-");  // truncated and terminated
    EXPECT_EQ(format(buffer, sizeof(buffer), "%d", 5), 1);
    EXPECT_STREQ(buffer, "5");
    EXPECT_EQ(format(nullptr, 0, "%s", "four"), 4);
}

TEST(CpuArchitecture, Names) {
    EXPECT_STREQ(qzai::architectureName(qzai::CpuArchitecture::Unknown), "UNKNOWN");
    EXPECT_STREQ(qzai::architectureName(qzai::CpuArchitecture::Aarch64), "aarch64");
    EXPECT_STREQ(qzai::architectureName(qzai::CpuArchitecture::Aarch64Jetson), "aarch64-jetson");
    EXPECT_STREQ(qzai::architectureName(qzai::CpuArchitecture::Aarch64Sbsa), "aarch64-sbsa");
    EXPECT_STREQ(qzai::architectureName(qzai::CpuArchitecture::X86_64), "x86_64");
    EXPECT_STREQ(qzai::architectureName(static_cast<qzai::CpuArchitecture>(77)), "UNKNOWN");
}

TEST(Json, DocToStringIsCompactOrderedAndNeverThrows) {
    nlohmann::ordered_json doc;
    doc["type"] = "Settings";
    doc["a"] = 42.0;
    doc["visible"] = true;
    doc["items"] = nlohmann::ordered_json::array({1, "x"});
    EXPECT_EQ(qzai::jsonDocToString(doc), R"({"type":"Settings","a":42.0,"visible":true,"items":[1,"x"]})");

    // One bad byte must not blank the document: it reads U+FFFD, the rest stays.
    nlohmann::ordered_json bad;
    bad["name"] = std::string("bad \xff utf-8");
    bad["truncated"] = std::string("\xe2\x82");
    EXPECT_EQ(qzai::jsonDocToString(std::move(bad)), "{\"name\":\"bad \xef\xbf\xbd utf-8\",\"truncated\":\"\xef\xbf\xbd\"}");
}

TEST(Json, RequiredFieldHelpersThrowOnMissingOrMistypedFields) {
    const auto doc = nlohmann::json::parse(R"({"s":"t","i":-3,"u":18446744073709551615,"d":1.5,"b":false,"o":{},"a":[]})");
    EXPECT_EQ(qzai::requireString(doc, "s"), "t");
    EXPECT_EQ(qzai::requireInteger(doc, "i"), -3);
    EXPECT_DOUBLE_EQ(qzai::requireNumber(doc, "d"), 1.5);
    EXPECT_DOUBLE_EQ(qzai::requireNumber(doc, "i"), -3.0);
    EXPECT_FALSE(qzai::requireBool(doc, "b"));
    EXPECT_TRUE(qzai::requireObject(doc, "o").empty());
    EXPECT_TRUE(qzai::requireArray(doc, "a").empty());
    EXPECT_THROW(qzai::requireString(doc, "missing"), qzai::JsonFieldError);
    EXPECT_THROW(qzai::requireString(doc, "i"), qzai::JsonFieldError);
    EXPECT_THROW(qzai::requireInteger(doc, "d"), qzai::JsonFieldError);
    EXPECT_THROW(qzai::requireInteger(doc, "u"), qzai::JsonFieldError);  // beyond int64
    EXPECT_THROW(qzai::requireBool(doc, "s"), qzai::JsonFieldError);
    EXPECT_THROW(qzai::requireField(nlohmann::json::array(), "s"), qzai::JsonFieldError);
    const nlohmann::ordered_json ordered = {{"k", "v"}};
    EXPECT_EQ(qzai::requireString(ordered, "k"), "v");
}

TEST(Json, OutsideDocumentsNestingTooDeeplyAreRefusedBeforeTheyAreBuilt) {
    const auto nested = [](size_t depth, const std::string& inner) {
        return std::string(depth, '[') + inner + std::string(depth, ']');
    };
    struct Case {
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {nested(qzai::kMaxJsonDepth, "1"), true},
        {nested(qzai::kMaxJsonDepth + 1, "1"), false},
        {nested(200000, ""), false},  // deep enough to exhaust the stack if walked recursively
        {nested(qzai::kMaxJsonDepth, R"("[[[[{{{{\"]]]")"), true},  // brackets and escaped quotes inside a text
        {R"({"a":)" + nested(qzai::kMaxJsonDepth, "") + "}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        const auto parsed = qzai::parseOutsideJson(c.text, "A test document");
        EXPECT_EQ(!parsed.is_discarded(), c.accepted);
        if (c.accepted) {
            EXPECT_FALSE(qzai::jsonNestsDeeperThan(parsed, qzai::kMaxJsonDepth));
        }
    }
    // A value built in memory is measured without recursion.
    nlohmann::json deep = 1;
    for (int i = 0; i < 100000; ++i) deep = nlohmann::json::array({std::move(deep)});
    EXPECT_TRUE(qzai::jsonNestsDeeperThan(deep, qzai::kMaxJsonDepth));
    EXPECT_FALSE(qzai::jsonNestsDeeperThan(nlohmann::json::parse(R"({"a":[{"b":[]}],"c":1})"), 4));
    EXPECT_TRUE(qzai::jsonNestsDeeperThan(nlohmann::json::parse(R"({"a":[{"b":[]}],"c":1})"), 3));
}

TEST(Json, NumbersBeyondAFloatAreRefusedNotConverted) {
    const nlohmann::json values = nlohmann::json::parse(R"([0.25, -3.0e38, 1e39, -1e300, 1.7976931348623157e308, "0.5"])");
    const float expected[] = {0.25f, -3.0e38f, 7.0f, 7.0f, 7.0f, 7.0f};
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(qzai::floatFromJson(values[i], "test value", 7.0f), expected[i]) << values[i];
    }
}

TEST(MessagingManager, AddReplaceRemoveAndClearWarnings) {
    using Type = qzai::MessagingManager::MessageType;
    qzai::MessagingManager manager;
    testing::internal::CaptureStderr();
    manager.addMessage("RUNTIME_PACKAGE", "Downloading", Type::Info);
    manager.addMessage("MISSING_AVX2_ERROR", "No AVX2", Type::Warning);
    manager.addMessage("RUNTIME_PACKAGE", "Downloading", Type::Warning);  // same text: type changes, no log
    manager.addMessage("A_WARNING", "first", Type::Warning);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;

    auto all = manager.messages();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.begin()->first, "A_WARNING");  // ascending id order
    EXPECT_EQ(all["RUNTIME_PACKAGE"].type, Type::Warning);

    manager.addMessage("RUNTIME_PACKAGE", "Still downloading", Type::Info);
    manager.removeMessage("ABSENT");
    manager.clearWarnings();
    all = manager.messages();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all["RUNTIME_PACKAGE"].text, "Still downloading");
    manager.removeMessage("RUNTIME_PACKAGE");
    EXPECT_TRUE(manager.messages().empty());
}

TEST(FreeTensorSet, ReleasesEveryBlockAndSkipsNulls) {
    TensorSet* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->count = 2;
    set->tensors = static_cast<Tensor*>(std::calloc(2, sizeof(Tensor)));
    set->tensors[0].name = strdup("output0");
    set->tensors[0].shape = static_cast<int32_t*>(std::malloc(2 * sizeof(int32_t)));
    set->tensors[0].data = std::malloc(64);
    // The second tensor has only null blocks.
    qzai::freeTensorSet(set);  // leaks would show under AddressSanitizer
    EXPECT_EQ(set->count, 0u);
    EXPECT_EQ(set->tensors, nullptr);
    qzai::freeTensorSet(set);
    qzai::freeTensorSet(nullptr);
    std::free(set);
}
