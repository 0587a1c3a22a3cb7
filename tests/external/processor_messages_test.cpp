// The tensors and image messages: requests checked byte-wise by the test
// walker, responses built with the test encoder, and the MessagePack
// reader's refusals of hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/support/log_capture.h"
#include "external/msgpack_io.h"
#include "inference/processors/processor_messages.h"
#include "external/support/msgpack_walk.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::LogCapture;
using qz::test::MpEncoder;
using qz::test::MpValue;
using qz::test::mpWalk;

namespace {

std::string text(const qzai::MessageBuffer& buffer) {
    return {reinterpret_cast<const char*>(buffer.data.get()), buffer.size};
}

std::span<const uint8_t> view(const std::string& bytes) {
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

// A set of owned tensors built from (name, type, shape, bytes).
struct OwnedSet {
    std::vector<std::string> names;
    std::vector<std::vector<int32_t>> shapes;
    std::vector<std::string> data;
    std::vector<::Tensor> tensors;
    ::TensorSet set{};

    void add(std::string name, uint32_t type, std::vector<int32_t> shape, std::string bytes) {
        names.push_back(std::move(name));
        shapes.push_back(std::move(shape));
        data.push_back(std::move(bytes));
        tensors.push_back({nullptr, type, 0, nullptr, 0, nullptr});
    }
    const ::TensorSet& finish() {
        for (size_t i = 0; i < tensors.size(); ++i) {
            tensors[i].name = names[i].data();
            tensors[i].rank = static_cast<uint32_t>(shapes[i].size());
            tensors[i].shape = shapes[i].data();
            tensors[i].byteSize = data[i].size();
            tensors[i].data = data[i].empty() ? nullptr : data[i].data();
        }
        set.count = static_cast<uint32_t>(tensors.size());
        set.tensors = tensors.data();
        return set;
    }
};

qzai::InferenceInput_t requestAt(int64_t timestamp) {
    qzai::InferenceInput_t request;
    request.timestampUs = timestamp;
    request.details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-1", "Gate"});
    return request;
}

}  // namespace

TEST(ProcessorMessagesTest, RequestsUseTheSmallestIntegersAndKeyOrder) {
    struct Case {
        int64_t timestamp;
        const char* format;
    };
    const Case cases[] = {
        {0, "posfixint"}, {127, "posfixint"}, {128, "uint8"}, {65536, "uint32"}, {int64_t{1} << 32, "uint64"},
        {-1, "negfixint"}, {-33, "int8"}, {std::numeric_limits<int64_t>::min(), "int64"},
        {std::numeric_limits<int64_t>::max(), "uint64"},
    };
    for (const Case& c : cases) {
        OwnedSet set;
        set.add("out", 1, {1, 300, -1}, std::string(8, 'x'));
        set.add("empty", 2, {0}, "");
        const auto buffer = qzai::serializeTensorsMessage(requestAt(c.timestamp), set.finish(), {});
        ASSERT_TRUE(buffer);
        const auto root = mpWalk(text(*buffer));
        ASSERT_TRUE(root);
        EXPECT_EQ(root->keys(), (std::vector<std::string>{"Timestamp", "DeviceID", "DeviceName", "Tensors",
                                                           "TensorShapes", "TensorDataTypes"}));
        EXPECT_EQ(root->at("Timestamp")->format, c.format) << c.timestamp;
        const MpValue& tensors = *root->at("Tensors");
        ASSERT_EQ(tensors.keys(), (std::vector<std::string>{"out", "empty"}));
        EXPECT_EQ(tensors.items[3].format, "bin8");
        EXPECT_EQ(tensors.items[3].bytes, "");
        const MpValue& dims = root->at("TensorShapes")->items[0];
        EXPECT_EQ(dims.items[1].format, "uint16");
        EXPECT_EQ(dims.items[2].format, "negfixint");
        EXPECT_EQ(root->at("TensorDataTypes")->items[1].u, 2u);
    }
}

TEST(ProcessorMessagesTest, EmptySetsAndSettingsShapeTheRequests) {
    OwnedSet none;
    const std::map<std::string, std::string> settings{{"b", "2"}, {"a", "1"}};
    const auto tensors = qzai::serializeTensorsMessage(requestAt(5), none.finish(), settings);
    ASSERT_TRUE(tensors);
    const std::string bytes = text(*tensors);
    EXPECT_NE(bytes.find(std::string("Tensors\x80", 8)), std::string::npos);
    EXPECT_NE(bytes.find(std::string("TensorShapes\x90", 13)), std::string::npos);
    const auto root = mpWalk(bytes);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->pairs(), 7u);
    EXPECT_EQ(root->at("UserSettings")->keys(), (std::vector<std::string>{"a", "b"}));

    qzai::ImageMessage image;
    image.timestamp = 300;
    image.deviceId = "cam-1";
    image.width = 2;
    image.height = 1;
    image.layout = 1;
    image.data.assign(24, 7);
    for (bool withSettings : {false, true}) {
        if (withSettings) image.userSettings = settings;
        const auto buffer = qzai::serializeImageMessage(image);
        ASSERT_TRUE(buffer);
        const auto walked = mpWalk(text(*buffer));
        ASSERT_TRUE(walked);
        EXPECT_EQ(walked->pairs(), withSettings ? 5u : 4u);
        const MpValue& data = *walked->at("ImageData");
        EXPECT_EQ(data.keys(), (std::vector<std::string>{"Height", "Width", "Layout", "Data"}));
        EXPECT_EQ(data.at("Data")->bytes, std::string(24, 7));
        // The request reads back as a response.
        const auto parsed = qzai::parseImageMessage(buffer->bytes());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->userSettings.size(), withSettings ? 2u : 0u);
        EXPECT_EQ(parsed->data, image.data);
    }
}

TEST(ProcessorMessagesTest, WriterRefusesWhatMessagePackCannotHold) {
    qzai::MpWriter writer;
    writer.map(1);
    writer.str("x");
    writer.bin(nullptr, 4);
    writer.u64(1);
    EXPECT_FALSE(writer.finish());
    qzai::MpWriter floats;
    floats.f32(1.5f);
    const auto out = floats.finish();
    ASSERT_TRUE(out);
    EXPECT_EQ(mpWalk(text(*out))->format, "float32");
}

namespace {

// A tensors response with the given parts (non-smallest encodings on purpose).
std::string tensorsResponse(const std::vector<std::pair<std::string, std::string>>& tensors,
                            const std::vector<std::vector<int64_t>>& shapes, const std::vector<int64_t>& types) {
    MpEncoder e;
    e.map(5).str("Timestamp").sint(42).str("DeviceID").str("cam-1");
    e.str("Tensors").map(static_cast<uint32_t>(tensors.size()));
    for (const auto& [name, data] : tensors) e.str(name).bin(data);
    e.str("TensorShapes").array(static_cast<uint32_t>(shapes.size()));
    for (const auto& shape : shapes) {
        e.array(static_cast<uint32_t>(shape.size()));
        for (int64_t d : shape) d < 0 ? e.sint(d) : e.uint(static_cast<uint64_t>(d));
    }
    e.str("TensorDataTypes").array(static_cast<uint32_t>(types.size()));
    for (int64_t t : types) e.sint(t);
    return e.bytes();
}

}  // namespace

TEST(ProcessorMessagesTest, TensorsResponsesAreCheckedAgainstTheirData) {
    const std::string f8(8, 'f');
    struct Case {
        const char* what;
        std::string bytes;
        bool accepted;
        const char* line;
    };
    const std::string fail = "Error: failed to read tensor fields from message\n";
    const Case cases[] = {
        {"three tensors, extra shapes ignored",
         tensorsResponse({{"a", f8}, {"b", "\x01\x02"}, {"c", ""}}, {{2}, {2}, {0, 5}, {9}}, {1, 2, 7, 1}), true, ""},
        {"three tensors, two shapes", tensorsResponse({{"a", f8}, {"b", "x"}, {"c", ""}}, {{2}, {1}}, {1, 2, 2}),
         false, fail.c_str()},
        {"2047-byte name", tensorsResponse({{std::string(2047, 'n'), "x"}}, {{1}}, {2}), true, ""},
        {"2048-byte name", tensorsResponse({{std::string(2048, 'n'), "x"}}, {{1}}, {2}), false, fail.c_str()},
        {"negative dimension", tensorsResponse({{"a", f8}}, {{-2}}, {1}), false, fail.c_str()},
        {"dimension above int32", tensorsResponse({{"a", f8}}, {{int64_t{1} << 31}}, {2}), false, fail.c_str()},
        {"bin shorter than the shape", tensorsResponse({{"a", f8}}, {{3}}, {1}), false, fail.c_str()},
        {"overflowing shape", tensorsResponse({{"a", f8}}, {{0x7fffffff, 0x7fffffff, 0x7fffffff}}, {1}), false,
         fail.c_str()},
        {"unknown element type", tensorsResponse({{"a", f8}}, {{1}}, {8}), false, fail.c_str()},
        {"no tensors map", MpEncoder().map(1).str("TensorShapes").array(0).bytes(), false,
         "Error: missing or invalid fields in tensor message\n"},
        {"not MessagePack", "\xc1", false, "Error: failed to parse incoming tensor message\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const auto set = qzai::parseTensorsMessage(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(set != nullptr, c.accepted) << c.what;
        if (!c.accepted) {
            EXPECT_TRUE(log.contains(c.line)) << c.what;
        }
    }
    const std::string three = cases[0].bytes;
    const auto set = qzai::parseTensorsMessage(reinterpret_cast<const uint8_t*>(three.data()), three.size());
    ASSERT_TRUE(set);
    ASSERT_EQ(set->count, 3u);
    EXPECT_STREQ(set->tensors[1].name, "b");
    EXPECT_EQ(set->tensors[1].byteSize, 2u);
    EXPECT_EQ(set->tensors[2].rank, 2u);
    EXPECT_EQ(set->tensors[2].data, nullptr);
    EXPECT_EQ(set->tensors[2].byteSize, 0u);
    EXPECT_EQ(set->tensors[2].elementType, 7u);
}

namespace {

std::string imageResponse(uint64_t width, uint64_t height, size_t dataBytes, const std::string& settings = "",
                          bool floatTimestamp = false, uint64_t timestamp = 9) {
    MpEncoder e;
    e.map(settings.empty() ? 4 : 5).str("Timestamp");
    floatTimestamp ? e.f64(9.0) : e.uint(timestamp);
    e.str("DeviceID").str("cam-1").str("DeviceName").str("Gate");
    e.str("ImageData").map(4).str("Width").uint(width).str("Height").uint(height).str("Layout").uint(0);
    e.str("Data").bin(std::string(dataBytes, '\0'));
    if (!settings.empty()) e.str("UserSettings").raw(settings);
    return e.bytes();
}

}  // namespace

TEST(ProcessorMessagesTest, ImageResponsesNeedTheirPixelsAndStrSettings) {
    const std::string invalid = "Error! Invalid image message received. Ignoring.\n";
    const std::string settingsError = "Error: failed to parse incoming image message\n";
    struct Case {
        const char* what;
        std::string bytes;
        bool accepted;
        std::string logLine;
        std::string stderrLine;
        size_t settings = 0;
    };
    const Case cases[] = {
        {"no settings", imageResponse(2, 1, 24), true, "", ""},
        {"settings not a map", imageResponse(2, 1, 24, MpEncoder().str("x").bytes()), true, "", ""},
        {"repeated setting", imageResponse(2, 1, 24, MpEncoder().map(2).str("k").str("1").str("k").str("2").bytes()),
         true, "", "", 1},
        {"setting not a str", imageResponse(2, 1, 24, MpEncoder().map(1).str("k").uint(1).bytes()), false, "",
         settingsError},
        {"short data", imageResponse(2, 1, 23), false, invalid, ""},
        {"zero width", imageResponse(0, 1, 24), false, invalid, ""},
        {"overflowing size", imageResponse(uint64_t{1} << 62, 16, 24), false, invalid, ""},
        {"float timestamp", imageResponse(2, 1, 24, "", true), false, invalid, ""},
        {"timestamp above int64", imageResponse(2, 1, 24, "", false, uint64_t{1} << 63), false, invalid, ""},
        {"not MessagePack", "\x85\x01", false, "", "Error: failed to parse incoming msgpack message\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        testing::internal::CaptureStderr();
        const auto image = qzai::parseImageMessage(view(c.bytes));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(image.has_value(), c.accepted) << c.what;
        if (!c.logLine.empty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << c.what;
        }
        if (!c.stderrLine.empty()) {
            EXPECT_NE(err.find(c.stderrLine), std::string::npos) << c.what;
        }
        if (image) {
            EXPECT_EQ(image->width, 2u);
            EXPECT_EQ(image->deviceName, "Gate");
            EXPECT_EQ(image->userSettings.size(), c.settings) << c.what;
            if (c.settings) {
                EXPECT_EQ(image->userSettings.at("k"), "1");
            }
        }
    }
}

TEST(ProcessorMessagesTest, ReaderRefusesHostileBytesBeforeUnpacking) {
    std::string deep(40, '\x91');
    deep.push_back('\x00');
    struct Case {
        const char* what;
        std::string bytes;
        bool parses;
    };
    const Case cases[] = {
        {"truncated map", std::string("\x82\xa1k\x01", 4), false},
        {"reserved byte", "\xc1", false},
        {"nested 40 deep", deep, false},
        {"array32 of 2^32-1", std::string("\xdd\xff\xff\xff\xff", 5), false},
        {"array32 of 2^28", std::string("\xdd\x10\x00\x00\x00", 5), false},
        {"str longer than the buffer", std::string("\xdb\x00\x01\x00\x00xx", 7), false},
        {"trailing bytes", std::string("\x81\xa1k\x05\xc1\xc1", 6), true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qzai::mpPrescan(view(c.bytes)).has_value(), c.parses) << c.what;
        qzai::MpReader reader(view(c.bytes));
        EXPECT_EQ(reader.parseFailed(), !c.parses) << c.what;
    }
    // The reader keeps what it checked: rewriting the bytes afterwards (as a
    // peer may in shared memory) changes neither keys nor counts; bins are
    // read where they lie.
    std::string shared("\x82\xa1" "a\x91\x07\xa1" "b\xc4\x02xy", 11);
    qzai::MpReader kept(view(shared));
    shared[2] = 'z';
    shared[3] = '\x9f';
    shared[9] = 'Q';
    EXPECT_EQ(kept.arraySize(kept.find(kept.root(), "a")), 1u);
    const auto bin = kept.bin(kept.find(kept.root(), "b"));
    EXPECT_EQ(std::string(bin.begin(), bin.end()), "Qy");
    // Duplicate keys: the first counts; after an error every read finds nil.
    const std::string dup = MpEncoder().map(3).str("k").uint(1).str("k").uint(2).str("s").str("v").bytes();
    qzai::MpReader reader(view(dup));
    EXPECT_EQ(reader.u64(reader.find(reader.root(), "k")), 1u);
    EXPECT_EQ(reader.i32(reader.find(reader.root(), "missing")), 0);
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.str(reader.find(reader.root(), "s")), "");
}
