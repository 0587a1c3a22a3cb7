#include "engine/settings_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <atomic>
#include <fstream>
#include <thread>

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("eng_cache_" + std::to_string(::getpid()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
};

}  // namespace

TEST(SettingsCache, RoundTripsAnyTextAndLeavesOutDeviceWideChoices) {
    TempDir dir;
    const std::string path = qzai::settingsCachePath(dir.path.string(), "{dev/1}");
    EXPECT_EQ(fs::path(path).filename().string(), "{dev_1}_settings_cache.txt");
    const qzai::SettingsMap settings = {
        {"cropBox_a", "{\"figure\": null}"},
        {"multi", "line one\nline two\r\nwith \\n literally"},
        {"key=with=equals", "value=x"},
        {"trailing\\", "back\\"},
        {"empty", ""},
        {"selectedPipeline", "p1"},
        {"deviceActiveSwitch", "true"},
    };
    ASSERT_TRUE(qzai::saveSettingsCache(path, settings));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    auto expected = settings;
    expected.erase("selectedPipeline");
    expected.erase("deviceActiveSwitch");
    EXPECT_EQ(qzai::loadSettingsCache(path), expected);

    // One line per setting: a line break inside a value never starts a line.
    std::ifstream in(path);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    EXPECT_EQ(lines, expected.size());
}

TEST(SettingsCache, MissingFileIsEmptyAndMalformedLinesAreSkipped) {
    TempDir dir;
    EXPECT_TRUE(qzai::loadSettingsCache((dir.path / "none.txt").string()).empty());
    const auto path = (dir.path / "bad.txt").string();
    std::ofstream(path) << "good=1\nno equals sign\n=no key\nbad=escape\\q\nalso=fine\n";
    EXPECT_EQ(qzai::loadSettingsCache(path), (qzai::SettingsMap{{"also", "fine"}, {"good", "1"}}));
    EXPECT_FALSE(qzai::saveSettingsCache((dir.path / "missing" / "x.txt").string(), {{"a", "b"}}));
}

TEST(SettingsCache, ConcurrentSavesLeaveOneWholeVersion) {
    // A settings send and a button press of one camera may save at once:
    // every save succeeds and a reader only ever sees one whole version.
    TempDir dir;
    const std::string path = qzai::settingsCachePath(dir.path.string(), "cam");
    const qzai::SettingsMap first = {{"a", "1"}, {"b", std::string(4000, 'x')}};
    const qzai::SettingsMap second = {{"a", "2"}, {"c", std::string(3000, 'y')}};
    std::atomic<int> failedSaves{0}, mixedReads{0};
    std::atomic<bool> writing{true};
    auto writer = [&](const qzai::SettingsMap& settings) {
        for (int i = 0; i < 200; ++i) failedSaves += qzai::saveSettingsCache(path, settings) ? 0 : 1;
    };
    std::thread reader([&] {
        while (writing) {
            const auto seen = qzai::loadSettingsCache(path);
            if (!seen.empty() && seen != first && seen != second) ++mixedReads;
        }
    });
    std::thread one(writer, first), two(writer, second);
    one.join();
    two.join();
    writing = false;
    reader.join();
    EXPECT_EQ(failedSaves.load(), 0);
    EXPECT_EQ(mixedReads.load(), 0);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path)) ++files;
    EXPECT_EQ(files, 1u);  // no temporary file left behind
}
