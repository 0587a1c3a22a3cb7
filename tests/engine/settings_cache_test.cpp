#include "engine/settings_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
