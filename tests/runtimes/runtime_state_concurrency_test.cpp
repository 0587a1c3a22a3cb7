// Host threads against the runtime loop: a reselection or a choice during a
// download, a storm of host calls against passes, and a cancel or shutdown at
// each stage of an installation, hostile packages included.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <random>
#include <thread>

#include <zlib.h>

#include "common/support/log_capture.h"
#include "common/support/process_state.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/support/install_rig.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::eventually;
using qz::test::InstallRig;
using qzai::RuntimeState;
namespace fs = std::filesystem;

TEST(RuntimeStateRaces, HostActionDuringAGatedDownload) {
    enum class Action { Reselect, Choose, Cancel };
    for (const Action action : {Action::Reselect, Action::Choose, Action::Cancel}) {
        const bool reselect = action == Action::Reselect;
        InstallRig rig;
        qz::test::LogCapture log;
        qz::test::PackageRoute route = qz::test::served(qz::test::runtimePackage("Generic CPU"));
        route.gated = true;
        rig.repository.serve(qz::test::kCpuX86Path, route);
        auto manager = rig.manager();
        rig.pass(*manager);
        ASSERT_TRUE(manager->chooseRuntime("Generic CPU"));
        std::thread loop([&] { rig.pass(*manager); });
        ASSERT_TRUE(eventually([&] { return rig.repository.gateReached(); }));
        EXPECT_EQ(manager->state(), RuntimeState::Installing);
        if (reselect) {
            manager->requestReselection();
        } else if (action == Action::Cancel) {
            manager->requestCancelDownload();  // the body stays stalled: only the cancel ends it
        } else {
            EXPECT_FALSE(manager->chooseRuntime("Intel"));
            rig.repository.release();
        }
        loop.join();
        rig.repository.release();
        if (reselect) {
            // The user's request stands: nothing saved, nothing published.
            EXPECT_EQ(manager->state(), RuntimeState::ReselectRequested);
            EXPECT_FALSE(fs::exists(rig.runtimeFolder() / "installed_runtime.txt"));
            EXPECT_TRUE(rig.recorder.published().empty());
            rig.pass(*manager);
            EXPECT_EQ(manager->state(), RuntimeState::Detecting);
        } else if (action == Action::Cancel) {
            EXPECT_EQ(manager->state(), RuntimeState::InstallFailed);
            EXPECT_TRUE(manager->downloadCancelled());
            EXPECT_TRUE(manager->snapshot().downloadCancelled);
            EXPECT_TRUE(log.contains("Info: Runtime download for Generic CPU was cancelled by the user.\n"));
            EXPECT_TRUE(rig.leftovers().empty());
        } else {
            EXPECT_EQ(manager->state(), RuntimeState::Ready);
            EXPECT_EQ(rig.nameFile(), "Generic CPU");
        }
    }
}

TEST(RuntimeStateRaces, HostCallsAgainstPassesLeaveAConsistentRuntime) {
    InstallRig rig;
    qz::test::LogCapture log;
    rig.repository.serve(qz::test::kCpuX86Path, qz::test::served(qz::test::runtimePackage("Generic CPU")));
    rig.repository.serve(qz::test::kIntelPath, qz::test::served(qz::test::runtimePackage("Intel")));
    auto manager = rig.manager();
    std::atomic<bool> stop{false};
    std::atomic<int> passes{0};
    std::thread loop([&] {
        while (!stop) {
            try {
                rig.pass(*manager);
            } catch (const std::exception&) {
                ADD_FAILURE() << "a pass threw";
            }
            ++passes;
        }
    });
    std::vector<std::thread> hosts;
    for (int h = 0; h < 3; ++h) {
        hosts.emplace_back([&, h] {
            for (int i = 0; i < 200; ++i) {
                switch ((i + h) % 5) {
                    case 0: manager->chooseRuntime(i % 2 ? "Intel" : "Generic CPU"); break;
                    case 1:
                        if (i % 20 == 1) manager->requestReselection();
                        break;
                    case 2: manager->requestCancelDownload(); break;
                    default: {
                        const auto snapshot = manager->snapshot();
                        for (const auto& name : snapshot.compatibleRuntimes) {
                            EXPECT_TRUE(name == "Generic CPU" || name == "Intel") << name;
                        }
                    }
                }
            }
        });
    }
    for (auto& host : hosts) host.join();
    // At rest: let the loop settle on a runtime.
    ASSERT_TRUE(eventually([&] {
        const RuntimeState state = manager->state();
        if (state == RuntimeState::AwaitingSelection) manager->chooseRuntime("Intel");
        if (state == RuntimeState::InstallFailed) manager->requestReselection();
        return state == RuntimeState::Ready;
    }));
    const int settled = passes.load();
    ASSERT_TRUE(eventually([&] { return passes.load() > settled + 1; }));
    stop = true;
    loop.join();
    EXPECT_EQ(manager->state(), RuntimeState::Ready);
    const std::string name = rig.nameFile();
    EXPECT_TRUE(name == "Generic CPU" || name == "Intel") << name;
    EXPECT_EQ(std::ifstream(rig.runtimeFolder() / "RuntimeLibrary.dll").peek(), 'l');
    EXPECT_TRUE(rig.leftovers().empty());
}

namespace {

// A gzip package of `archive` (a plain tar) whose deflate data holds about
// `emptyBytes` of empty deflate blocks, inflating to nothing, at byte `at`
// of the archive; written straight to `path`, so that its size costs no memory.
void writeWithEmptyBlocks(const fs::path& path, const std::string& archive, size_t at, uint64_t emptyBytes) {
    std::ofstream out(path, std::ios::binary);
    out.write("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    const auto stored = [&out](const char* data, size_t size, bool last) {
        do {
            const size_t n = std::min<size_t>(size, 65535);
            const char header[5] = {static_cast<char>(last && n == size), static_cast<char>(n & 0xff),
                                    static_cast<char>(n >> 8), static_cast<char>(~n & 0xff),
                                    static_cast<char>((~n >> 8) & 0xff)};
            out.write(header, 5).write(data, static_cast<std::streamsize>(n));
            data += n;
            size -= n;
        } while (size > 0);
    };
    stored(archive.data(), at, false);
    // Four empty blocks of fixed codes fill five bytes: the slowest kind to inflate.
    std::string empty;
    for (int i = 0; i < 209715; ++i) empty.append("\x02\x08\x20\x80\x00", 5);
    for (uint64_t written = 0; written < emptyBytes; written += empty.size()) out.write(empty.data(), empty.size());
    stored(archive.data() + at, archive.size() - at, true);
    const uint32_t trailer[2] = {static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(archive.data()),
                                                             static_cast<uInt>(archive.size()))),
                                 static_cast<uint32_t>(archive.size())};
    out.write(reinterpret_cast<const char*>(trailer), sizeof trailer);  // little-endian machines only
}

// How far this process has read into `path` through any of its descriptors.
uint64_t readPosition(const fs::path& path) {
    uint64_t furthest = 0;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (fs::read_symlink(fd.path(), linkError) != path) continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key;
        uint64_t position = 0;
        if (info >> key >> position && key == "pos:") furthest = std::max(furthest, position);
    }
    return furthest;
}

uint64_t bytesOfFilesUnder(const fs::path& root) {
    uint64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && !it->is_symlink(ec)) total += it->file_size(ec);
    }
    return total;
}

// Calls `onLine` on the logging thread for each line holding `fragment`.
class LogTrigger : public qz::test::LogCapture {
public:
    LogTrigger(std::string fragment, std::function<void()> onLine)
        : m_fragment(std::move(fragment)), m_onLine(std::move(onLine)) {}
    void logLine(int level, const std::string& text) override {
        qz::test::LogCapture::logLine(level, text);
        if (!m_fragment.empty() && text.find(m_fragment) != std::string::npos) m_onLine();
    }

private:
    const std::string m_fragment;
    const std::function<void()> m_onLine;
};

}  // namespace

TEST(RuntimeStateRaces, CancelAndShutdownStopEveryStageWithinABound) {
    // When the cancel or shutdown comes: once a stalled tar said it started,
    // as a tar run returns, once the package has been read past 256 KiB, or
    // as a log line is written.
    enum class When { TarStalls, TarReturns, DeepInPackage, LogLine };
    std::string noise(12u << 20, '\0'), zeros = qzai::runCommand({"sh", "-c", "head -c 64M /dev/zero | gzip -9"}).output;
    std::generate(noise.begin(), noise.end(), std::mt19937(4));
    qz::test::PackageBuilder big;
    const std::string bigPackage = big.file("RuntimeLibrary.dll", "x").file("weights", noise).build();
    const std::string small = qz::test::runtimePackage("Generic CPU");
    const std::string archive = qz::test::ustarArchive({{"RuntimeLibrary.dll", '0', "library", "", 0755}});
    struct Row {
        const char* name;
        When when;
        std::string served;         // the package downloaded, or
        uint64_t emptyBlocks = 0;   // a cached package with this much of empty deflate blocks
        bool inside = false;        // before the archive's end mark, else after it
        const char* stalls = "";    // the tar run that stalls ("-tvf", "-xf")
        const char* tarRun = "";    // the tar run whose return, or the log line, brings the request
        bool cancel = false;        // the user's cancel, not a shutdown
        bool tarFault = false;      // tar reports status 2 over a whole tree
        uint64_t merged = 0;        // bytes in the runtime folder once leftovers are gone
        bool stopsAtEnd = false;    // the listing stops reading at the archive's end mark
    };
    std::string withZeros = small;  // 16 GiB of zeros inside the gzip data after the archive's end
    for (int i = 0; i < 256; ++i) withZeros += zeros;
    const Row rows[] = {
        // Past what the download may queue for a listing that stalls.
        {"listing while downloading", When::TarStalls, bigPackage, 0, false, "-tvf"},
        {"extraction", When::TarStalls, small, 0, false, "-xf", "", true},
        {"inflating zeros after the archive", When::TarReturns, withZeros, 0, false, "", "-xf"},
        {"1 GiB of empty blocks inside the archive", When::DeepInPackage, "", 1ull << 30, true},
        {"1 GiB of empty blocks after the archive", When::TarReturns, "", 1ull << 30, false, "", "-tvf", false, false,
         0, true},
        {"judging the unpacked tree", When::LogLine, small, 0, false, "", "Warning: tar exited with status 2", false,
         true},
        {"after the merge", When::LogLine, small, 0, false, "", "Info: Runtime Generic CPU downloaded successfully.",
         false, false, 66},
    };
    std::chrono::milliseconds slowest{0};
    for (const Row& row : rows) {
        InstallRig rig;
        qz::test::TempDir fake;
        const std::string started = fake.file("started");
        // GNU tar reads a pipe to its end; one that stops at the archive's
        // end mark leaves the rest to the reader.
        fake.write("tar", std::string("#!/bin/sh\ncase \" $* \" in *\" ") + (*row.stalls ? row.stalls : "none") +
                              " \"*) touch " + started + "; exec sleep 60;; esac\n" +
                              (row.stopsAtEnd ? "case \" $* \" in *\" -tvf \"*) head -c " +
                                                    std::to_string(archive.size()) +
                                                    " | /usr/bin/tar \"$@\"; exit $?;; esac\n"
                                              : "") +
                              "exec /usr/bin/tar \"$@\"\n");
        fs::permissions(fake.file("tar"), fs::perms::owner_all);
        rig.environment = qzai::ProcessEnvironment({"PATH=" + fake.path().string() + ":/usr/bin:/bin"});
        const fs::path package = rig.cacheFolder() / "Generic CPU.tar.gz";
        if (row.emptyBlocks) {
            rig.config.cacheRuntimeArchives = true;
            fs::create_directories(rig.cacheFolder());
            const size_t at = row.inside ? archive.size() - 1024 : archive.size();
            writeWithEmptyBlocks(package, archive, at, row.emptyBlocks);
        } else {
            rig.repository.serve(qz::test::kCpuX86Path, qz::test::served(row.served));
        }
        auto manager = rig.manager();
        using Clock = std::chrono::steady_clock;
        std::atomic<Clock::rep> requested{0}, finished{0};
        const auto request = [&] {
            if (requested.exchange(Clock::now().time_since_epoch().count()) != 0) return;
            row.cancel ? manager->requestCancelDownload() : manager->requestShutdown();
        };
        rig.afterTar = [&](const std::vector<std::string>& argv, qzai::CommandOutput& output) {
            if (row.tarFault && !qz::test::extractionFolder(argv).empty()) output.exitCode = 2;
            if (row.when == When::TarReturns && std::find(argv.begin(), argv.end(), row.tarRun) != argv.end()) request();
        };
        LogTrigger log(row.when == When::LogLine ? row.tarRun : "", request);
        std::mutex mutex;
        std::condition_variable done;
        std::thread loop([&] {
            manager->installRuntime("Generic CPU", rig.messages, false);
            std::lock_guard<std::mutex> lock(mutex);
            finished = Clock::now().time_since_epoch().count();
            done.notify_all();
        });
        if (row.when == When::TarStalls) {
            ASSERT_TRUE(eventually([&] { return fs::exists(started); })) << row.name;
            request();
        } else if (row.when == When::DeepInPackage) {
            ASSERT_TRUE(eventually([&] { return readPosition(package) > (256u << 10); })) << row.name;
            request();
        }
        ASSERT_TRUE(eventually([&] { return requested != 0; })) << row.name;
        {
            // Two seconds is the promise, from the request on.
            std::unique_lock<std::mutex> lock(mutex);
            const auto deadline = Clock::time_point(Clock::duration(requested.load())) + std::chrono::seconds(2);
            EXPECT_TRUE(done.wait_until(lock, deadline, [&] { return finished != 0; })) << row.name;
        }
        loop.join();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            Clock::duration(finished.load()) - Clock::duration(requested.load()));
        slowest = std::max(slowest, took);
        std::printf("%s: stopped %lld ms after the request\n", row.name, static_cast<long long>(took.count()));
        EXPECT_EQ(manager->state(), RuntimeState::InstallFailed) << row.name;
        EXPECT_FALSE(fs::exists(rig.runtimeFolder() / "installed_runtime.txt")) << row.name;
        // A shutdown leaves the staging folder for the next start to remove.
        const bool stagingLeft = !rig.leftovers().empty();
        EXPECT_EQ(stagingLeft, !row.cancel && (row.when == When::LogLine || std::string(row.tarRun) == "-xf")) << row.name;
        auto next = rig.manager();
        EXPECT_TRUE(rig.leftovers().empty()) << row.name;
        EXPECT_FALSE(next->isRuntimeInstalled()) << row.name;
        EXPECT_EQ(bytesOfFilesUnder(rig.runtimeFolder()), row.merged) << row.name;
        EXPECT_EQ(fs::exists(package), row.emptyBlocks != 0) << row.name;  // kept only with the cache on
    }
    std::printf("Slowest stop after a cancel or shutdown: %lld ms\n", static_cast<long long>(slowest.count()));
}
