// Host threads against the runtime loop: a reselection or a choice during a
// download, and a storm of host calls against passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

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

TEST(RuntimeStateRaces, CancelAndShutdownStopEveryStageWithinABound) {
    // A tar that stalls listing or unpacking, once it has said so in a file;
    // a package past what the download may queue for a listing that stalls;
    // one with 16 GiB of zeros inside the gzip data after the archive's end.
    enum Stage { ListingWhileDownloading, Extraction, Inflation };
    std::string noise(12u << 20, '\0'), zeros = qzai::runCommand({"sh", "-c", "head -c 64M /dev/zero | gzip -9"}).output;
    std::generate(noise.begin(), noise.end(), std::mt19937(4));
    qz::test::PackageBuilder big;
    const std::string packages[] = {big.file("RuntimeLibrary.dll", "x").file("weights", noise).build(),
                                    qz::test::runtimePackage("Generic CPU"), ""};
    std::chrono::milliseconds slowest{0};
    for (const Stage stage : {ListingWhileDownloading, Extraction, Inflation}) {
        InstallRig rig;
        qz::test::TempDir fake;
        const std::string started = fake.file("started"), stalls = stage == Extraction ? "-xf" : "-tvf";
        fake.write("tar", "#!/bin/sh\ncase \" $* \" in *\" " + stalls + " \"*) [ " + std::to_string(stage) +
                              " = 2 ] || { touch " + started + "; exec sleep 60; };; esac\nexec /usr/bin/tar \"$@\"\n");
        fs::permissions(fake.file("tar"), fs::perms::owner_all);
        rig.environment = qzai::ProcessEnvironment({"PATH=" + fake.path().string() + ":/usr/bin:/bin"});
        std::string body = stage == Inflation ? qz::test::runtimePackage("Generic CPU") : packages[stage];
        for (int i = 0; stage == Inflation && i < 256; ++i) body += zeros;
        rig.repository.serve(qz::test::kCpuX86Path, qz::test::served(body));
        auto manager = rig.manager();
        std::atomic<std::chrono::steady_clock::rep> requested{0};
        const auto request = [&] {
            requested = std::chrono::steady_clock::now().time_since_epoch().count();
            stage == Extraction ? manager->requestCancelDownload() : manager->requestShutdown();
        };
        rig.afterTar = [&](const std::vector<std::string>& argv, qzai::CommandOutput&) {
            if (stage == Inflation && !qz::test::extractionFolder(argv).empty()) request();  // as tar returns
        };
        std::thread loop([&] { manager->installRuntime("Generic CPU", rig.messages, false); });
        if (stage != Inflation) {
            ASSERT_TRUE(eventually([&] { return fs::exists(started); }));
            request();
        }
        loop.join();
        const auto took = std::chrono::steady_clock::now().time_since_epoch() -
                          std::chrono::steady_clock::duration(requested.load());
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(took));
        EXPECT_LT(took, std::chrono::seconds(8)) << stage;  // two is the promise; the machine is busy
        EXPECT_EQ(manager->state(), RuntimeState::InstallFailed) << stage;
        EXPECT_TRUE(rig.leftovers().empty()) << stage;
    }
    std::printf("Slowest stop after a cancel or shutdown: %lld ms\n", static_cast<long long>(slowest.count()));
}
