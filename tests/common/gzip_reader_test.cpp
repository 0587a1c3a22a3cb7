#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include "common/gzip_reader.h"
#include "common/support/gzipped.h"
#include "common/support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

struct ReadResult {
    bool isGzip = false;
    std::string bytes;
    bool clean = false;  // readToEnd's answer after the last block
};

ReadResult readAll(qzai::GzipReader& reader) {
    ReadResult result;
    result.isGzip = reader.isGzip();
    std::string block;
    while (reader.next(&block)) result.bytes += block;
    result.clean = reader.readToEnd();
    return result;
}

// Reads `data` through a source that hands over at most `piece` bytes a call.
ReadResult readAll(const std::string& data, size_t piece) {
    size_t offset = 0;
    qzai::GzipReader reader([&](char* buffer, size_t capacity) -> std::optional<size_t> {
        const size_t n = std::min({piece, capacity, data.size() - offset});
        std::copy_n(data.data() + offset, n, buffer);
        offset += n;
        return n;
    });
    return readAll(reader);
}

}  // namespace

TEST(GzipReader, ReadsWholeMembersAndRefusesAnythingElse) {
    // Some 200 kB that compress, so output blocks and input blocks differ.
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i * 7919 % 100003) + "\n";
    const std::string first = qz::test::gzipped(text);
    const std::string second = qz::test::gzipped("and a second member\n");
    std::string damaged = first;
    damaged[damaged.size() / 2] ^= 0x55;

    struct Row {
        const char* name;
        std::string data;
        bool isGzip;
        bool clean;
        std::string bytes;  // expected when clean
    };
    const Row rows[] = {
        {"one member", first, true, true, text},
        {"two members back to back", first + second, true, true, text + "and a second member\n"},
        {"cut short", first.substr(0, first.size() - 100), true, false, ""},
        {"damaged inside", damaged, true, false, ""},
        {"zeros after the member", first + std::string(64, '\0'), true, false, ""},
        {"other bytes after the member", first + "garbage", true, false, ""},
        {"not gzip", "plain text, no signature", false, false, ""},
    };
    for (const auto& row : rows) {
        for (const size_t piece : {size_t{1} << 20, size_t{1}, size_t{4093}}) {
            const ReadResult result = readAll(row.data, piece);
            EXPECT_EQ(result.isGzip, row.isGzip) << row.name << " / " << piece;
            EXPECT_EQ(result.clean, row.clean) << row.name << " / " << piece;
            if (row.clean) {
                EXPECT_TRUE(result.bytes == row.bytes) << row.name << " / " << piece;
            }
        }
    }

    // The file form reads the same way; a missing file is not gzip.
    qz::test::TempDir dir;
    const auto path = dir.path() / "two.gz";
    std::ofstream(path, std::ios::binary) << first + second;
    const ReadResult fromFile = readAll(*qzai::GzipReader::openFile(path.string()));
    EXPECT_TRUE(fromFile.clean && fromFile.bytes == text + "and a second member\n");
    EXPECT_FALSE(qzai::GzipReader::openFile((dir.path() / "missing.gz").string())->isGzip());
}
