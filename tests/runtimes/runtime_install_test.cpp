// Installing packages from the loopback repository: accepted answers, broken
// downloads, broken and unsafe packages, folder traps. Every failure leaves
// nothing outside the runtime folder, no partial download or staging folder,
// and no runtime a fresh manager would take as installed.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <random>
#include <thread>
#include <utility>

#include "common/ini.h"
#include "common/support/log_capture.h"
#include "runtimes/package_listing.h"
#include "runtimes/package_staging.h"
#include "runtimes/support/install_rig.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::InstallRig;
using qz::test::Md5Header;
using qz::test::PackageRoute;
using qzai::RuntimeState;
namespace fs = std::filesystem;

namespace {

std::string seededBytes(size_t size, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(generator());
    return out;
}

// Installs "Generic CPU" with intoSubfolder false from a fresh manager.
RuntimeState installCpu(InstallRig& rig, qzai::RuntimesManager& manager) {
    manager.installRuntime("Generic CPU", rig.messages, false);
    return manager.state();
}

bool freshManagerFindsRuntime(InstallRig& rig) {
    qzai::RuntimesManager fresh(rig.bin.path().string(), rig.services(), rig.config);
    return fresh.isRuntimeInstalled();
}

// A link below `root` whose target, followed on disk, leads outside it.
std::string linkLeaving(const fs::path& root) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_symlink()) continue;
        const auto to = fs::weakly_canonical(it->path().parent_path() / fs::read_symlink(it->path()), ec);
        if (!ec && to.lexically_relative(fs::weakly_canonical(root)).string().rfind("..", 0) == 0) return it->path();
        ec.clear();  // a loop leads nowhere
    }
    return {};
}

// Every entry below `folder`, links not followed.
size_t entriesBelow(const fs::path& folder) {
    std::error_code ec;
    return static_cast<size_t>(std::distance(fs::recursive_directory_iterator(folder, ec), {}));
}

}  // namespace

TEST(RuntimeInstall, AcceptedAnswersInstall) {
    struct Row {
        const char* name;
        Md5Header md5;
        bool contentLength;
        bool storageUrl;
        bool redirect;
        std::string tail = "";  // bytes after the package
    };
    const Row rows[] = {
        {"md5 lower case", Md5Header::Correct, true, false, false},
        {"md5 upper case", Md5Header::UpperCase, true, false, false},
        {"md5 padded", Md5Header::Padded, true, false, false},
        {"no md5", Md5Header::Absent, true, false, false},
        {"storage address skips the check", Md5Header::Wrong, true, true, false},
        {"no content length", Md5Header::Correct, false, false, false},
        {"redirect", Md5Header::Correct, true, false, true},
        // gzip ignores zeros after its data; tar then reads the package itself.
        {"zeros after the gzip data", Md5Header::Correct, true, false, false, std::string(100, '\0')},
    };
    for (const auto& row : rows) {
        InstallRig rig;
        PackageRoute route = qz::test::served(qz::test::runtimePackage("Generic CPU") + row.tail);
        route.md5 = row.md5;
        route.contentLength = row.contentLength;
        if (row.storageUrl) rig.config.RuntimesStorageURL = rig.repository.base() + "/PELM/runtimes/2.0.0";
        if (row.redirect) {
            rig.repository.serve("moved/library.tar.gz", route);
            PackageRoute redirect;
            redirect.redirectTo = "moved/library.tar.gz";
            redirect.md5 = Md5Header::Wrong;
            rig.repository.serve(qz::test::kCpuX86Path, redirect);
        } else {
            rig.repository.serve(qz::test::kCpuX86Path, route);
        }
        auto manager = rig.manager();
        EXPECT_EQ(installCpu(rig, *manager), RuntimeState::Ready) << row.name;
        EXPECT_TRUE(fs::is_regular_file(rig.runtimeFolder() / "RuntimeLibrary.dll")) << row.name;
        EXPECT_FALSE(fs::exists(rig.cacheFolder() / "Generic CPU.tar.gz")) << row.name;
        EXPECT_TRUE(rig.leftovers().empty()) << row.name;
    }
}

TEST(RuntimeInstall, ChecksumMismatchIsReportedAndClearedByTheNextInstallation) {
    InstallRig rig;
    PackageRoute route = qz::test::served(qz::test::runtimePackage("Generic CPU"));
    route.md5 = Md5Header::Wrong;
    rig.repository.serve(qz::test::kCpuX86Path, route);
    auto manager = rig.manager();
    qz::test::LogCapture log;
    EXPECT_EQ(installCpu(rig, *manager), RuntimeState::InstallFailed);
    const std::string expected = qz::test::md5Hex(route.body + "x");
    const std::string actual = qz::test::md5Hex(route.body);
    EXPECT_TRUE(log.contains("ERROR: Runtime package checksum mismatch for Generic CPU. Expected MD5: " + expected +
                             ", got: " + actual + "\n"));
    ASSERT_TRUE(rig.hasNotice("RUNTIME_DOWNLOAD_CORRUPTED"));
    EXPECT_EQ(rig.messages.messages().at("RUNTIME_DOWNLOAD_CORRUPTED").text,
              "The downloaded runtime package appears to be corrupted (checksum mismatch). Please check your Internet "
              "connection and try again.");
    EXPECT_TRUE(fs::is_empty(rig.cacheFolder()));
    EXPECT_FALSE(freshManagerFindsRuntime(rig));

    route.md5 = Md5Header::Correct;
    rig.repository.serve(qz::test::kCpuX86Path, route);
    EXPECT_EQ(installCpu(rig, *manager), RuntimeState::Ready);
    EXPECT_FALSE(rig.hasNotice("RUNTIME_DOWNLOAD_CORRUPTED"));
}

TEST(RuntimeInstall, CacheReadyStateAndSubfolder) {
    InstallRig rig;
    rig.config.cacheRuntimeArchives = true;
    rig.repository.serve(qz::test::kCpuX86Path, qz::test::served(qz::test::runtimePackage("Generic CPU")));
    auto manager = rig.manager();
    ASSERT_EQ(installCpu(rig, *manager), RuntimeState::Ready);

    // In Ready only the three notices go.
    for (const char* id : {"RUNTIME_EXTRACTION_FAILED", "RUNTIME_DOWNLOAD_CORRUPTED", "NVIDIA_RESTART_REQUIRED",
                           "MISSING_OPENCL_ERROR"}) {
        rig.messages.addMessage(id, "x", qzai::MessagingManager::MessageType::Warning);
    }
    qz::test::LogCapture log;
    EXPECT_FALSE(manager->installRuntime("Generic CPU", rig.messages, false));
    EXPECT_TRUE(log.contains("Info: runtime is already installed.\n"));
    EXPECT_EQ(rig.messages.messages().size(), 1u);
    EXPECT_EQ(rig.repository.requests().size(), 1u);

    // A second manager installs from the kept package, into a subfolder that is emptied first.
    std::ofstream(rig.runtimeFolder() / "earlier.txt") << "kept";
    fs::create_directories(rig.runtimeFolder() / "Generic CPU");
    std::ofstream(rig.runtimeFolder() / "Generic CPU" / "stale.txt") << "goes";
    auto second = rig.manager();
    second->installRuntime("Generic CPU", rig.messages, true);
    EXPECT_EQ(second->state(), RuntimeState::Ready);
    EXPECT_TRUE(log.contains("Info: Runtime package file already exists. Skipping download step.\n"));
    EXPECT_EQ(rig.repository.requests().size(), 1u);
    EXPECT_TRUE(fs::exists(rig.runtimeFolder() / "Generic CPU" / "RuntimeLibrary.dll"));
    EXPECT_FALSE(fs::exists(rig.runtimeFolder() / "Generic CPU" / "stale.txt"));
    EXPECT_TRUE(fs::exists(rig.runtimeFolder() / "earlier.txt"));
    EXPECT_TRUE(fs::exists(rig.cacheFolder() / "Generic CPU.tar.gz"));
}

TEST(RuntimeInstall, BrokenDownloadsAndPackagesFail) {
    const std::string good = qz::test::runtimePackage("Generic CPU");
    // The library first, then a member too random to compress: a cut tail
    // leaves a whole library and a cut member.
    qz::test::PackageBuilder big;
    big.file("RuntimeLibrary.dll", "library").file("zz_weights.bin", seededBytes(1 << 20));
    const std::string bigPackage = big.build();
    const std::string cutTail = bigPackage.substr(0, bigPackage.size() * 3 / 4);

    struct Row {
        const char* name;
        PackageRoute route;
        const char* line;     // a log line fragment
        const char* notice;   // "" = none
        bool staleLibrary = false;
        // What goes wrong in the unpacked tree while tar reports `status`.
        std::function<void(const fs::path& staging)> extractionFault = {};
        int status = 2;
        bool listingCut = false;  // the listing reached the output cap
        bool capped = false;      // 1 MiB limits on the package and on its unpacked size
        uint64_t maxEntries = 100000;
        // Replaces what the unpacking tar reads.
        std::function<void(qzai::RunOptions& options)> unpackingInput = {};
        const char* alsoLine = nullptr;  // another fragment logged once
        int listings = 0;                // tar listing runs when not 0
    };
    std::vector<Row> rows;
    auto route = [](std::string body) { return qz::test::served(std::move(body)); };
    {
        PackageRoute r = route(good);
        r.cutAt = good.size() / 2;
        rows.push_back({"cut body", r, "ERROR: Failed to download the runtime package.\n", "", false, {}});
    }
    {
        PackageRoute r = route(good);
        r.status = 500;
        rows.push_back({"server error", r, "ERROR: Failed to download the runtime package.\n", "", false, {}});
    }
    rows.push_back({"corrupt archive", route(seededBytes(4096)), "ERROR: Failed to extract the runtime package.",
                    "RUNTIME_EXTRACTION_FAILED", false, {}});
    // gzip reports other bytes after its data, and tar fails on it. 320 kB
    // of archive, so they come after whole blocks of it.
    qz::test::PackageBuilder blocks;
    blocks.file("RuntimeLibrary.dll", "library").file("weights.bin", std::string(315000, 'w'));
    rows.push_back({"other bytes after the gzip data", route(blocks.build() + "garbage"),
                    "ERROR: Failed to extract the runtime package. Tar exit status: 2", "RUNTIME_EXTRACTION_FAILED", false,
                    {}});
    rows.push_back({"cut tail after a whole library", route(cutTail), "ERROR: Failed to extract the runtime package.",
                    "RUNTIME_EXTRACTION_FAILED", false, {}});
    rows.push_back({"stale library and a corrupt package", route(seededBytes(4096, 9)),
                    "ERROR: Failed to extract the runtime package.", "RUNTIME_EXTRACTION_FAILED", true, {}});
    // A full disk: tar stops with the library whole and a later member cut.
    rows.push_back({"member cut short", route(bigPackage), "ERROR: Failed to extract the runtime package. Tar exit status: 2",
                    "RUNTIME_EXTRACTION_FAILED", false,
                    [](const fs::path& staging) { fs::resize_file(staging / "zz_weights.bin", 1000); }});
    // A package without a library, unpacked whole; only an earlier runtime's
    // library is on disk.
    qz::test::PackageBuilder noLibrary;
    noLibrary.file("runtime_args.json", "{}");
    rows.push_back({"library only from an earlier runtime", route(noLibrary.build()),
                    "ERROR: Failed to extract the runtime package. Tar exit status: 2", "RUNTIME_EXTRACTION_FAILED", true,
                    [](const fs::path&) {}});
    const char* failed = "RUNTIME_EXTRACTION_FAILED";
    rows.push_back({"no library, tar content", route(noLibrary.build()), "holds no RuntimeLibrary.dll.\n", failed});
    rows.push_back({"member cut, tar content", route(bigPackage), "extraction: zz_weights.bin is missing or cut short", failed, false, [](const fs::path& staging) { fs::resize_file(staging / "zz_weights.bin", 1); }, 0});
    rows.push_back({"listing cut", route(good), "is longer than 16777216 bytes; the package is refused", failed, false,
                    {}, 2, true});
    qz::test::PackageBuilder zeros;
    zeros.file("RuntimeLibrary.dll", "library").file("zeros.bin", std::string(3u << 20, '\0'));
    rows.push_back({"unpacked past the limit", route(zeros.build()), "(maxRuntimeUnpackedMiB).\n", failed, false, {}, 2,
                    false, true});
    // A small package, then more than the limit: the listing has nothing to refuse.
    PackageRoute endless = route(good + seededBytes(2 << 20, 5));
    endless.contentLength = false;
    rows.push_back({"download past the limit", endless, "(maxRuntimePackageMiB); the download was", "", false, {}, 2,
                    false, true});
    // Every entry counts, a folder as a block.
    qz::test::PackageBuilder folders;
    folders.file("RuntimeLibrary.dll", "library");
    for (int i = 0; i < 300; ++i) folders.folder("f/" + std::to_string(i));
    rows.push_back({.name = "folders past the limit", .route = route(folders.build()),
                    .line = "by its member f/", .notice = failed, .capped = true});
    for (int i = 300; i < 1000; ++i) folders.folder("f/" + std::to_string(i));
    rows.push_back({.name = "entries past the limit", .route = route(folders.build()),
                    .line = "holds more than 900 entries (maxRuntimeUnpackedEntries).\n", .notice = failed,
                    .maxEntries = 900});
    // A first member announcing 17 GB, of which the package holds 64 KiB:
    // refused at its listing line, listed once.
    std::vector<qz::test::UstarMember> bomb = {{"RuntimeLibrary.dll", '0', "library", ""},
                                               {"weights.bin", '0', std::string(64 << 10, '\0'), ""}};
    bomb[1].announcedSize = 17'000'000'000;
    rows.push_back({.name = "an announced 17 GB", .route = route(qz::test::gzipped(qz::test::ustarArchive(bomb))),
                    .line = "by its member weights.bin, more than the limit of 4294967296 bytes", .notice = failed,
                    .listings = 1});
    // What tar writes need not be what it listed.
    rows.push_back({.name = "an entry not listed", .route = route(good),
                    .line = "unpacked unlisted.bin, which its listing does not show.\n", .notice = failed,
                    .extractionFault = [](const fs::path& staging) { std::ofstream(staging / "unlisted.bin") << "x"; },
                    .status = 0});
    std::vector<qz::test::UstarMember> landing = {{"RuntimeLibrary.dll", '0', "library", ""}};
    for (int i = 0; i < 600; ++i) landing.push_back({"h/" + std::to_string(i), '5', "", ""});
    const std::string unlisted = qz::test::ustarArchive(landing).substr(0, landing.size() * 512 + 512);
    rows.push_back({.name = "landing past the limit", .route = route(good),
                    .line = "past the limits of 1048576 bytes (maxRuntimeUnpackedMiB)", .notice = failed,
                    .capped = true,
                    .unpackingInput =
                        [&unlisted](qzai::RunOptions& options) {
                            // The rest is held back until the unpacking is stopped.
                            options.input = [&unlisted, cancel = options.cancel, sent = false](std::string& block) mutable {
                                if (!std::exchange(sent, true)) {
                                    block = unlisted;
                                    return true;
                                }
                                for (int i = 0; i < 20000 && !cancel->load(); ++i) {
                                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                }
                                return false;
                            };
                        },
                    .alsoLine = "--no-same-permissions\" cancelled; its processes were stopped.\n"});
    for (const auto& row : rows) {
        InstallRig rig;
        rig.repository.serve(qz::test::kCpuX86Path, row.route);
        const auto caps = qzai::RuntimesConfig::fromIni(qzai::parseIniText(
            row.capped ? "maxRuntimePackageMiB = 1\nmaxRuntimeUnpackedMiB = 1" : "", "caps"));
        rig.config.maxPackageBytes = caps.maxPackageBytes;
        rig.config.maxUnpackedBytes = caps.maxUnpackedBytes;
        rig.config.maxUnpackedEntries = row.maxEntries;
        rig.beforeTar = [&row](const std::vector<std::string>& argv, qzai::RunOptions& options) {
            if (row.unpackingInput && options.input && !qz::test::extractionFolder(argv).empty()) {
                row.unpackingInput(options);
            }
        };
        int listings = 0;
        rig.afterTar = [&row, &listings](const std::vector<std::string>& argv, qzai::CommandOutput& output) {
            const std::string staging = qz::test::extractionFolder(argv);
            listings += staging.empty();
            output.truncated = staging.empty() && row.listingCut;
            if (staging.empty() || !row.extractionFault) return;
            row.extractionFault(staging);
            output.exitCode = row.status;
        };
        auto manager = rig.manager();
        if (row.staleLibrary) {
            fs::create_directories(rig.runtimeFolder());
            std::ofstream(rig.runtimeFolder() / "RuntimeLibrary.dll") << "an earlier runtime";
        }
        qz::test::LogCapture log;
        EXPECT_EQ(installCpu(rig, *manager), RuntimeState::InstallFailed) << row.name;
        EXPECT_EQ(log.count(row.line), 1u) << row.name;
        EXPECT_TRUE(!row.alsoLine || log.count(row.alsoLine) == 1) << row.name;
        EXPECT_TRUE(!row.listings || listings == row.listings) << row.name;
        EXPECT_TRUE(!*row.notice || rig.hasNotice(row.notice)) << row.name;
        EXPECT_EQ(log.count("Treating the extraction as successful"), 0u) << row.name;
        EXPECT_TRUE(rig.leftovers().empty()) << row.name;
        EXPECT_FALSE(freshManagerFindsRuntime(rig)) << row.name;
        EXPECT_EQ(std::ifstream(rig.runtimeFolder() / "RuntimeLibrary.dll").peek(), row.staleLibrary ? 'a' : EOF)
            << row.name;
        EXPECT_EQ(entriesBelow(rig.runtimeFolder()), row.staleLibrary ? 1u : 0u) << row.name;
        EXPECT_FALSE(fs::exists(rig.cacheFolder() / "Generic CPU.tar.gz")) << row.name;  // the cache is off
    }
}

TEST(RuntimeInstall, UnsafePackagesAreRefusedBeforeAnythingIsWritten) {
    using qz::test::UstarMember;
    const auto ustar = [](std::vector<UstarMember> members) {
        members.insert(members.begin(), UstarMember{"RuntimeLibrary.dll", '0', "library", "", 0755});
        return qz::test::ustarArchive(members);
    };
    const auto packed = [](const std::function<void(qz::test::PackageBuilder&)>& fill) {
        qz::test::PackageBuilder builder;
        builder.file("RuntimeLibrary.dll", "library", 0755);
        fill(builder);
        return builder.build();
    };
    // Files no package may reach: beside the runtime folder and beside the bin folder.
    const qz::test::TempDir unique;
    const fs::path beside = unique.path().string() + "-victim.txt";
    std::ofstream(beside) << "b";
    // Listed as one entry; unpacking reads its data as further members.
    std::string hidden = qz::test::ustarArchive({{"hidden/zeros.bin", '0', std::string(300000, '\0'), ""}});
    hidden.resize(hidden.size() - 1024);
    const std::string carrying = " with " + std::to_string(hidden.size()) + " bytes of data";
    struct Row {
        const char* name;
        std::string package;
        const char* entry;
        std::string reason;
    };
    const Row rows[] = {
        {"absolute member", ustar({{"/tmp/qz-absolute", '0', "x", "", 0644}}), "/tmp/qz-absolute", "absolute name"},
        {"dot-dot member", ustar({{"../outside/evil", '0', "x", "", 0644}}), "../outside/evil",
         "name with a parent-folder component"},
        {"symlink to /etc", packed([](auto& b) { b.symlink("etc", "/etc"); }), "etc",
         "symbolic link to an absolute path"},
        {"symlink leaving", packed([](auto& b) { b.symlink("lib/up", "../../outside"); }), "lib/up",
         "symbolic link with a parent-folder component"},
        // Text that stays inside, a path that does not: b/c is b itself.
        {"through a link to dot", packed([](auto& b) { b.symlink("b/c", ".").symlink("x", "b/c/../../victim"); }), "x",
         "symbolic link with a parent-folder component"},
        {"through it beside bin",
         packed([&](auto& b) { b.symlink("b/c", ".").symlink("y", "b/c/c/c/../../../" + beside.filename().string()); }),
         "y", "symbolic link with a parent-folder component"},
        // With a file where the earlier runtime has the folder "thing".
        {"the name file", packed([](auto& b) {
             b.file("installed_runtime.txt", "Intel").file("Generic CPU/RuntimeLibrary.dll", "x").file("thing", "x");
         }),
         "installed_runtime.txt", "name kept for the installer's own files"},
        {"its temporary",
         packed([](auto& b) { b.symlink("b/c", ".").symlink("installed_runtime.txt.tmp", "b/c/../../victim"); }),
         "installed_runtime.txt.tmp", "name kept for the installer's own files"},
        {"a staging folder", packed([](auto& b) { b.file(".staging-1-0/x", "x"); }), ".staging-1-0",
         "name kept for the installer's own files"},
        {"hard link to dot-dot", ustar({{"hard", '1', "", "../outside/x", 0644}}), "hard",
         "hard link leaving the package"},
        {"device node", ustar({{"null", '3', "", "", 0666}}), "null", "device node"},
        {"fifo", packed([](auto& b) { b.fifo("pipe"); }), "pipe", "fifo"},
        {"setuid file", packed([](auto& b) { b.file("tool", "x", 04755); }), "tool", "setuid or setgid mode"},
        {"link carrying data", ustar({{"s", '2', hidden, "RuntimeLibrary.dll", 0777}}), "s", "symbolic link" + carrying},
        {"\"d/\" file carrying data", ustar({{"d/", '0', hidden, ""}}), "d", "folder" + carrying},
    };
    for (const auto& row : rows) {
        InstallRig rig("aarch64");
        rig.config.cacheRuntimeArchives = true;
        rig.repository.serve(qz::test::kCpuArmPath, qz::test::served(row.package));
        fs::create_directories(rig.runtimeFolder() / "thing");
        std::ofstream(rig.bin.path() / "victim") << "r";
        auto manager = rig.manager();
        qz::test::LogCapture log;
        rig.pass(*manager);  // the only runtime on arm: installed, its name saved when Ready
        EXPECT_EQ(manager->state(), RuntimeState::InstallFailed) << row.name;
        const std::string package = (rig.cacheFolder() / "Generic CPU.tar.gz").string();
        EXPECT_TRUE(log.contains("ERROR: The runtime package " + package + " holds an unsafe entry: " + row.entry +
                                 " (" + row.reason + ")\n"))
            << row.name;
        EXPECT_TRUE(rig.hasNotice("RUNTIME_EXTRACTION_FAILED")) << row.name;
        EXPECT_FALSE(fs::exists(package)) << row.name;  // even with the cache on
        EXPECT_EQ(entriesBelow(rig.runtimeFolder()), 1u) << row.name;  // "thing" alone
        EXPECT_TRUE(rig.leftovers().empty()) << row.name;
        EXPECT_FALSE(fs::exists("/tmp/qz-absolute")) << row.name;
        EXPECT_FALSE(freshManagerFindsRuntime(rig)) << row.name;
        EXPECT_EQ(std::ifstream(rig.bin.path() / "victim").peek(), 'r') << row.name;
        EXPECT_EQ(std::ifstream(beside).peek(), 'b') << row.name;
        EXPECT_EQ(linkLeaving(rig.bin.path()), "") << row.name;
    }
    fs::remove(beside);
}

TEST(RuntimeInstall, MergeReplacesWhatStandsInTheWayWithoutFollowingLinks) {
    InstallRig rig("aarch64");
    qz::test::PackageBuilder builder;
    builder.file("RuntimeLibrary.dll", "library").file("plugins/evil.so", "written through the link?");
    rig.repository.serve(qz::test::kCpuArmPath, qz::test::served(builder.file("thing", "a file").build()));
    fs::create_directories(rig.runtimeFolder() / "thing" / "inner");  // a folder where the package has a file
    fs::create_symlink("../outside", rig.runtimeFolder() / "plugins");
    for (const char* own : {"installed_runtime.txt", "installed_runtime.txt.tmp"}) {
        fs::create_symlink("../outside/victim", rig.runtimeFolder() / own);
    }
    auto manager = rig.manager();
    rig.pass(*manager);
    EXPECT_EQ(manager->state(), RuntimeState::Ready);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(rig.runtimeFolder() / "plugins")));
    EXPECT_TRUE(fs::is_regular_file(rig.runtimeFolder() / "plugins" / "evil.so"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(rig.runtimeFolder() / "thing")));
    EXPECT_FALSE(fs::is_symlink(rig.runtimeFolder() / "installed_runtime.txt"));
    EXPECT_EQ(rig.nameFile(), "Generic CPU");
    EXPECT_TRUE(rig.leftovers().empty());
    EXPECT_FALSE(fs::exists(rig.cacheFolder() / "Generic CPU.tar.gz"));
}

TEST(RuntimeInstall, FolderTrapsAndAMissingTar) {
    // tar cannot be found: nothing is the package's fault, so it stays when
    // the cache is on; without the cache a failed package is never kept.
    for (const bool cache : {true, false}) {
        InstallRig rig;
        rig.config.cacheRuntimeArchives = cache;
        qz::test::TempDir emptyPath;
        rig.environment = qzai::ProcessEnvironment({"PATH=" + emptyPath.path().string()});
        rig.repository.serve(qz::test::kCpuX86Path, qz::test::served(qz::test::runtimePackage("Generic CPU")));
        auto manager = rig.manager();
        qz::test::LogCapture log;
        EXPECT_EQ(installCpu(rig, *manager), RuntimeState::InstallFailed);
        EXPECT_TRUE(log.contains("ERROR: Failed to extract the runtime package. Tar exit status: -1. Output: \n"));
        EXPECT_TRUE(rig.hasNotice("RUNTIME_EXTRACTION_FAILED"));
        EXPECT_EQ(fs::exists(rig.cacheFolder() / "Generic CPU.tar.gz"), cache);
    }
    // A file where the cache folder belongs.
    {
        InstallRig rig;
        std::ofstream(rig.cacheFolder()) << "in the way";
        auto manager = rig.manager();
        qz::test::LogCapture log;
        EXPECT_EQ(installCpu(rig, *manager), RuntimeState::InstallFailed);
        EXPECT_EQ(log.count("ERROR: Failed to create the folder"), 1u);
        EXPECT_TRUE(rig.repository.requests().empty());
    }
    // A folder where the name file belongs: installed, the name remembered.
    {
        InstallRig rig("aarch64");
        rig.repository.serve(qz::test::kCpuArmPath, qz::test::served(qz::test::runtimePackage("Generic CPU")));
        fs::create_directories(rig.runtimeFolder() / "installed_runtime.txt" / "inner");
        auto manager = rig.manager();
        qz::test::LogCapture log;
        rig.pass(*manager);
        EXPECT_EQ(manager->state(), RuntimeState::Ready);
        EXPECT_TRUE(log.contains("ERROR: Failed to save the installed runtime's name.\n"));
        EXPECT_EQ(manager->readInstalledRuntimeName(), "Generic CPU");
    }
    // A link to itself where the runtime folder belongs: the pass throws (the
    // loop logs it and tries again).
    {
        InstallRig rig;
        fs::create_symlink("inference_engine", rig.runtimeFolder());
        auto manager = rig.manager();
        EXPECT_THROW(rig.pass(*manager), fs::filesystem_error);
        fs::remove(rig.runtimeFolder());
        EXPECT_EQ(rig.pass(*manager), qzai::RuntimePassResult::EndPass);
        EXPECT_EQ(manager->state(), RuntimeState::AwaitingSelection);
    }
}

TEST(RuntimeInstall, LinkSetsJudgedSafeNeverResolveOutsideTheRoot) {
    // Random small trees of folders, files and links (to ".", "..", each
    // other, in chains; names through links), listed, judged, unpacked by tar.
    std::mt19937 random(31);
    const auto pick = [&](std::vector<std::string> items) { return items[random() % items.size()]; };
    int judgedSafe = 0;
    for (int round = 0; round < 120; ++round) {
        const bool climbing = random() % 2;  // targets with ".." in half the rounds
        std::vector<std::string> links = {pick({"a", "b/c", "c/a/b"})};
        std::vector<qz::test::UstarMember> members = {{links[0], '2', "", ".", 0777}};
        for (size_t n = 2 + random() % 6; n > 0; --n) {
            std::string name = pick({"a", "b", "c", "a/b", "b/c", "c/a/b"});
            const unsigned kind = random() % 5;
            if (kind < 2) {
                members.push_back({name, kind ? '0' : '5', kind ? "x" : "", "", 0755});
                continue;
            }
            if (kind > 2) name = name.substr(0, 1);  // at the top, where earlier links' names are paths
            std::string target = kind > 2 ? pick(links) : pick({".", "a", "./a"});
            for (size_t k = kind > 2 ? 1 + random() % 3 : 0; k > 0; --k) {
                target += "/" + (climbing ? pick({"a", "..", ".."}) : pick({"a", "."}));
            }
            members.push_back({name, '2', "", target, 0777});
            links.push_back(name);
        }
        qz::test::TempDir work;
        const std::string archive = work.write("p.tar", qz::test::ustarArchive(members));
        const auto listed = qzai::runCommand(
            {"tar", "--force-local", "--numeric-owner", "--quoting-style=c", "--absolute-names", "-tvf", archive});
        const auto listing = qzai::parsePackageListing(listed.output);
        if (!std::none_of(listing.entries.begin(), listing.entries.end(), qzai::unsafeEntryReason)) continue;
        ++judgedSafe;
        const fs::path root = work.path() / "deep" / "root";
        fs::create_directories(root);
        qzai::runCommand({"tar", "-xf", archive, "-C", root.string(), "--no-same-owner", "--no-same-permissions"});
        EXPECT_EQ(linkLeaving(root), "") << listed.output;
        EXPECT_EQ(std::distance(fs::directory_iterator(work.path()), {}) +
                      std::distance(fs::directory_iterator(root.parent_path()), {}),
                  3)  // "p.tar", "deep" and "deep/root" only
            << listed.output;
        EXPECT_EQ(qzai::findUnsafeStagedEntry(root.string()), std::nullopt) << listed.output;
    }
    EXPECT_GT(judgedSafe, 30);  // the rounds reach the cases that matter
}
