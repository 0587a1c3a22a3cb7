// The known boxes file: its text, loading what others may have left there,
// and saving so that the old file survives every failure on the way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <fstream>
#include <random>
#include <string>

#include "common/support/log_capture.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

class DumpingCacheTest : public ::testing::Test {
protected:
    DumpingCacheTest() : root(::testing::TempDir() + "dumping_cache_" + std::to_string(::getpid())) {
        fs::remove_all(root);
        fs::create_directories(root + "/cache");
    }
    ~DumpingCacheTest() override { fs::remove_all(root); }

    std::string file() const { return root + "/cache/dumping_known_bboxes.json"; }
    void write(const std::string& text) const { std::ofstream(file(), std::ios::binary) << text; }
    std::string read() const {
        std::ifstream in(file(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    qzai::KnownBoxes load() {
        qzai::PostprocessingState state(root);
        qzai::loadDumpingCache(state);
        qzai::KnownBoxes boxes = state.knownBoxes;
        state.knownBoxes.clear();  // the destructor must not write back
        return boxes;
    }
    // A state holding `boxes`, saved once.
    void save(const qzai::KnownBoxes& boxes) {
        qzai::PostprocessingState state(root);
        state.knownBoxes = boxes;
        state.knownBoxesGeneration = 1;
        qzai::saveDumpingCache(state);
        state.knownBoxes.clear();
    }

    // Entries of the cache folder: the file alone once no temporary is left.
    long entries() const { return std::distance(fs::directory_iterator(root + "/cache"), fs::directory_iterator()); }

    std::string root;
    qz::test::LogCapture log;
};

TEST_F(DumpingCacheTest, SavedTextIsCompactInDeviceOrderAndLoadsBackAtFloatPrecision) {
    save({{"cam-b", {{0.1f, 0.2f, 0.3f, 1.0f}}}, {"cam-a", {}}});
    EXPECT_EQ(read(), "{\"cam-a\":[],\"cam-b\":[{\"x\":0.10000000149011612,\"y\":0.20000000298023224,"
                      "\"width\":0.30000001192092896,\"height\":1.0}]}");

    const qzai::KnownBoxes several = {{"cam-1", {{0.125f, 1e-7f, 0.333333f, 0.9f}, {0.5f, 0.5f, 0.25f, 0.25f}}},
                                      {"cam-2", {{1.0f / 3.0f, 2.0f / 3.0f, 0.01f, 0.99f}}}};
    save(several);
    const qzai::KnownBoxes loaded = load();
    ASSERT_EQ(loaded.size(), 2u);
    for (const auto& [device, boxes] : several) {
        ASSERT_EQ(loaded.at(device).size(), boxes.size()) << device;
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(loaded.at(device)[i].x, boxes[i].x);
            EXPECT_EQ(loaded.at(device)[i].y, boxes[i].y);
            EXPECT_EQ(loaded.at(device)[i].width, boxes[i].width);
            EXPECT_EQ(loaded.at(device)[i].height, boxes[i].height);
        }
    }
    EXPECT_EQ(log.count("Warning"), 0u);
}

TEST_F(DumpingCacheTest, LoadingKeepsWhatParsesAndAppendsWithoutDuplicates) {
    write(R"({"cam-1":[{"x":0.1,"y":0.2,"width":0.3,"height":0.4},{"x":0.1,"y":0.2,"width":0.3},)"
          R"({"x":"text","y":1,"width":2,"height":true},{"x":1e300,"y":0,"width":0,"height":0},7],)"
          R"("cam-2":{"x":1},"cam-3":"none"})");
    qzai::PostprocessingState state(root);
    state.knownBoxes["cam-1"] = {{0.9f, 0.9f, 0.1f, 0.1f}};
    qzai::loadDumpingCache(state);
    qzai::loadDumpingCache(state);  // a second load adds nothing
    ASSERT_EQ(state.knownBoxes.at("cam-1").size(), 3u);
    EXPECT_EQ(state.knownBoxes.at("cam-1")[0].x, 0.9f);  // earlier boxes first
    EXPECT_EQ(state.knownBoxes.at("cam-1")[1].height, 0.4f);
    const qzai::BoxXywh zeroed = state.knownBoxes.at("cam-1")[2];  // a non-number reads as 0
    EXPECT_EQ(zeroed.x, 0.0f);
    EXPECT_EQ(zeroed.y, 1.0f);
    EXPECT_EQ(zeroed.height, 0.0f);
    EXPECT_EQ(state.knownBoxes.count("cam-2") + state.knownBoxes.count("cam-3"), 0u);
    EXPECT_EQ(log.count("Warning"), 0u);
    state.knownBoxes.clear();
}

TEST_F(DumpingCacheTest, UnusableFilesLoadNothingWithTheirWarning) {
    const std::string parse = "Warning: Failed to parse dumping known bboxes cache: " + file() + "\n";
    const struct {
        const char* name;
        std::string text;
        std::string warning;
    } cases[] = {
        {"missing", "", ""},
        {"truncated", R"({"cam-1":[{"x":0.1,"y":0.2,"wid)", parse},
        {"garbage", std::string("\x01\xff{[\"", 5), parse},
        {"rootArray", R"([{"x":0.1,"y":0.2,"width":0.3,"height":0.4}])",
         "Warning: Dumping known bboxes cache has unexpected format\n"},
        {"deeplyNested", std::string(100000, '[') + std::string(100000, ']'), parse},
        {"above16MiB", "{\"cam-1\":[" + std::string(20 << 20, ' ') + "]}", parse},
        {"directory", "", "Warning: Failed to open dumping known bboxes cache: " + file() + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file());
        if (std::string(c.name) == "directory") fs::create_directories(file());
        else if (std::string(c.name) != "missing") write(c.text);
        log.clear();
        EXPECT_TRUE(load().empty());
        const auto lines = log.lines();
        EXPECT_EQ(lines, c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning});
    }
}

// Every way the save can fail leaves the previous file whole and no
// temporary behind.
TEST_F(DumpingCacheTest, FailedSavesKeepTheOldFileAndLeaveNoTemporary) {
    const qzai::KnownBoxes first = {{"cam-1", {{0.1f, 0.1f, 0.1f, 0.1f}}}};
    const qzai::KnownBoxes second = {{"cam-1", {{0.2f, 0.2f, 0.2f, 0.2f}}}};
    save(first);
    const std::string old = read();

    // The temporary cannot be made: "cache" leads where no file can be created.
    fs::rename(root + "/cache", root + "/cache.kept");
    fs::create_directory_symlink("/proc/self", root + "/cache");
    save(second);
    EXPECT_TRUE(log.contains("Warning: Failed to open dumping known bboxes cache for writing: " + file() + "\n"));
    fs::remove(root + "/cache");
    fs::rename(root + "/cache.kept", root + "/cache");
    EXPECT_EQ(read(), old);

    // A write cut short by the file-size limit, in a child of its own.
    log.clear();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        qzai::KnownBoxes many;
        for (int i = 0; i < 100; ++i) many["cam-1"].push_back({0.5f, 0.5f, 0.5f, 0.5f});
        qz::test::LogCapture childLog;
        save(many);
        ::_exit(childLog.count("Warning: Failed to write dumping known bboxes cache " + file() + ": File too large") == 1
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read(), old);
    EXPECT_EQ(entries(), 1);

    // The target's name taken by a non-empty directory: the rename fails.
    fs::remove(file());
    fs::create_directories(file() + "/inside");
    save(second);
    EXPECT_EQ(log.count("Warning: Failed to write dumping known bboxes cache " + file() + ": "), 1u);
    EXPECT_TRUE(fs::is_directory(file() + "/inside"));
    EXPECT_EQ(entries(), 1);
    fs::remove_all(file());

    // "cache" taken by a regular file.
    fs::remove_all(root + "/cache");
    std::ofstream(root + "/cache") << "x";
    log.clear();
    save(second);
    EXPECT_EQ(log.count("Warning: Failed to create cache directory " + root + "/cache: "), 1u);
    EXPECT_TRUE(fs::is_regular_file(root + "/cache"));
}

// A state without a root folder has no file: the "cache" of the current
// folder is neither read nor written.
TEST_F(DumpingCacheTest, WithoutARootFolderNothingIsReadOrWritten) {
    const std::string theirs = R"({"cam-1":[{"x":0.1,"y":0.2,"width":0.3,"height":0.4}]})";
    write(theirs);
    const fs::path before = fs::current_path();
    fs::current_path(root);
    {
        qzai::PostprocessingState state("");
        qzai::loadDumpingCache(state);
        EXPECT_TRUE(state.knownBoxes.empty());
        state.knownBoxes["cam-2"] = {{0.5f, 0.5f, 0.1f, 0.1f}};
        state.knownBoxesGeneration = 1;
        qzai::saveDumpingCache(state);
    }
    fs::current_path(before);
    EXPECT_EQ(read(), theirs);
    EXPECT_EQ(log.count("Warning: No data folder; dumping known bboxes cache not loaded"), 1u);
    EXPECT_GE(log.count("Warning: No data folder; dumping known bboxes cache not saved"), 1u);
}

// Two processes saving two versions in turn, both killed at random moments:
// whenever it is read, the file holds one whole version.
TEST_F(DumpingCacheTest, ConcurrentAndKilledWritersLeaveOneWholeVersion) {
    qzai::KnownBoxes versions[2] = {{{"cam-1", {{0.1f, 0.1f, 0.1f, 0.1f}}}}, {{"cam-2", {{0.3f, 0.3f, 0.3f, 0.3f}}}}};
    for (int i = 0; i < 500; ++i) versions[1]["cam-1"].push_back({0.001f * float(i), 0.2f, 0.2f, 0.2f});
    std::string texts[2];
    for (int v : {1, 0}) save(versions[v]), texts[v] = read();
    const auto isWhole = [&](const std::string& text) { return text == texts[0] || text == texts[1]; };
    std::mt19937 random(20261207);
    for (int round = 0; round < 20; ++round) {
        pid_t children[2];
        for (int c = 0; c < 2; ++c) {
            children[c] = ::fork();
            ASSERT_GE(children[c], 0);
            if (children[c] == 0) {
                for (int i = c;; ++i) save(versions[i % 2]);
            }
        }
        // Read while they write, until the file changed a few times, and once they were killed.
        bool whole = true;
        std::string last = read();
        for (int changes = std::uniform_int_distribution<int>(1, 40)(random), reads = 0;
             whole && changes > 0 && reads < 100000; ++reads) {
            const std::string text = read();
            whole = isWhole(text), changes -= text != last, last = text;
        }
        for (const pid_t child : children) ::kill(child, SIGKILL), ::waitpid(child, nullptr, 0);
        EXPECT_TRUE(whole && isWhole(read())) << "round " << round;
        for (const auto& entry : fs::directory_iterator(root + "/cache"))
            if (entry.path() != fs::path(file())) fs::remove(entry.path());
    }
}

}  // namespace
