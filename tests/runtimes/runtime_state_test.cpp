// The runtime loop's pass against real files, the real tar and a loopback
// package repository: offer, choose, install, find again, fail, reselect.
#include <gtest/gtest.h>

#include "common/support/log_capture.h"
#include "runtimes/support/install_rig.h"
#include "runtimes/support/runtimes_test_access.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::InstallRig;
using qzai::RuntimePassResult;
using qzai::RuntimeState;
namespace fs = std::filesystem;

TEST(RuntimeState, OfferRejectCraftedChoicesThenInstallTheChosenOne) {
    InstallRig rig;
    rig.repository.serve(qz::test::kIntelPath, qz::test::served(qz::test::runtimePackage("Intel")));
    // A package a crafted name would reach if it were ever used as a file name.
    fs::create_directories(rig.bin.path() / "x");
    std::ofstream(rig.bin.path() / "x.tar.gz") << "not a package";
    rig.config.cacheRuntimeArchives = true;
    auto manager = rig.manager();

    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::EndPass);
    EXPECT_EQ(manager->state(), RuntimeState::AwaitingSelection);
    EXPECT_EQ(manager->compatibleRuntimes(), (std::vector<std::string>{"Generic CPU", "Intel"}));

    for (const char* crafted : {"../../x", "../x", "NVIDIA", ""}) {
        EXPECT_FALSE(manager->chooseRuntime(crafted)) << crafted;
        EXPECT_EQ(manager->state(), RuntimeState::AwaitingSelection) << crafted;
    }
    ASSERT_TRUE(manager->chooseRuntime("Intel"));
    EXPECT_EQ(manager->state(), RuntimeState::SelectionMade);

    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::Continue);
    EXPECT_EQ(manager->state(), RuntimeState::Ready);
    EXPECT_EQ(rig.repository.requests(), (std::vector<std::string>{qz::test::kIntelPath}));
    EXPECT_EQ(rig.nameFile(), "Intel");
    EXPECT_TRUE(fs::is_regular_file(rig.runtimeFolder() / "RuntimeLibrary.dll"));
    EXPECT_TRUE(fs::is_regular_file(rig.runtimeFolder() / "lib" / "libhelper.so"));
    EXPECT_EQ(rig.recorder.published(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"Intel", "application/zip; device=intel; precision=fp32"}}));
    EXPECT_EQ(rig.recorder.refreshes(), 1);
    EXPECT_FALSE(rig.hasNotice("RUNTIME_PACKAGE"));
    EXPECT_FALSE(rig.hasNotice("RUNTIME_EXTRACTION"));
    EXPECT_TRUE(fs::exists(rig.cacheFolder() / "Intel.tar.gz"));  // kept: the cache is on
    EXPECT_TRUE(rig.leftovers().empty());

    // Ready: no choice is taken, and the next pass changes nothing.
    EXPECT_FALSE(manager->chooseRuntime("Generic CPU"));
    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::Continue);
    EXPECT_EQ(manager->state(), RuntimeState::Ready);
    EXPECT_EQ(rig.repository.requests().size(), 1u);
    EXPECT_EQ(std::ifstream(rig.bin.path() / "x.tar.gz").peek(), 'n');
}

TEST(RuntimeState, CraftedInstallNameFailsBeforeAnyFileWork) {
    InstallRig rig;
    rig.config.cacheRuntimeArchives = true;
    std::ofstream(rig.bin.path() / "x.tar.gz") << "not a package";
    auto manager = rig.manager();
    qz::test::LogCapture log;
    EXPECT_FALSE(manager->installRuntime("../x", rig.messages, false));
    EXPECT_EQ(manager->state(), RuntimeState::InstallFailed);
    EXPECT_TRUE(log.contains("ERROR: couldn't find a download link for the desired runtime.\n"));
    EXPECT_FALSE(fs::exists(rig.cacheFolder()));
    EXPECT_EQ(log.count("Skipping download step"), 0u);
}

TEST(RuntimeState, OneRuntimeInstallsByItselfAndFailureIsNotRetried) {
    struct Row {
        const char* name;
        int status;
        RuntimeState expected;
    };
    for (const Row& row : {Row{"served", 200, RuntimeState::Ready}, Row{"missing", 404, RuntimeState::InstallFailed}}) {
        InstallRig rig("aarch64");
        qz::test::PackageRoute route = qz::test::served(qz::test::runtimePackage("Generic CPU"));
        route.status = row.status;
        rig.repository.serve(qz::test::kCpuArmPath, route);
        auto manager = rig.manager();
        EXPECT_EQ(rig.pass(*manager), RuntimePassResult::Continue) << row.name;
        EXPECT_EQ(rig.pass(*manager), RuntimePassResult::Continue) << row.name;
        EXPECT_EQ(manager->state(), row.expected) << row.name;
        EXPECT_EQ(rig.repository.count(qz::test::kCpuArmPath), 1u) << row.name;
        EXPECT_EQ(rig.nameFile(), row.status == 200 ? "Generic CPU" : "") << row.name;
        EXPECT_EQ(rig.recorder.published().size(), row.status == 200 ? 1u : 0u) << row.name;
    }
}

TEST(RuntimeState, InstalledRuntimeIsFoundAfterARestartWithoutRequests) {
    for (const bool avx2 : {true, false}) {
        InstallRig rig;
        rig.repository.serve(qz::test::kIntelPath, qz::test::served(qz::test::runtimePackage("Intel")));
        {
            auto first = rig.manager();
            rig.pass(*first);
            ASSERT_TRUE(first->chooseRuntime("Intel"));
            rig.pass(*first);
            ASSERT_EQ(first->state(), RuntimeState::Ready);
        }
        qz::test::HookRecorder fresh;
        auto services = rig.services();
        if (!avx2) services.cpuid = [](uint32_t, uint32_t, qzai::CpuidRegisters& r) { return r = {}, false; };
        qzai::RuntimesManager second(rig.bin.path().string(), services, rig.config);
        second.initialize(rig.messages);
        EXPECT_EQ(second.advanceRuntimeState(rig.messages, fresh.hooks()), RuntimePassResult::EndPass);
        EXPECT_EQ(second.state(), RuntimeState::Ready) << avx2;
        EXPECT_EQ(second.readInstalledRuntimeName(), "Intel");
        EXPECT_EQ(rig.repository.requests().size(), 1u);
        EXPECT_TRUE(fresh.published().empty());
        EXPECT_EQ(fresh.readyCalls(), 1);
        // Reselected on a machine nothing fits: the reason comes back with
        // the empty selection, after the reselection cleared the warnings.
        second.requestReselection();
        rig.messages.clearWarnings();
        second.advanceRuntimeState(rig.messages, fresh.hooks());
        second.advanceRuntimeState(rig.messages, fresh.hooks());
        EXPECT_EQ(second.state(), avx2 ? RuntimeState::AwaitingSelection : RuntimeState::NoCompatibleRuntime);
        EXPECT_EQ(rig.hasNotice("MISSING_AVX2_ERROR"), !avx2);
    }
}

TEST(RuntimeState, ReselectRemovesTheRuntimeAndAFailedRemovalIsRetried) {
    InstallRig rig("aarch64");
    rig.repository.serve(qz::test::kCpuArmPath, qz::test::served(qz::test::runtimePackage("Generic CPU")));
    auto manager = rig.manager();
    rig.pass(*manager);
    ASSERT_EQ(manager->state(), RuntimeState::Ready);

    // A folder where the library should be cannot be removed as a file.
    fs::remove(rig.runtimeFolder() / "RuntimeLibrary.dll");
    fs::create_directories(rig.runtimeFolder() / "RuntimeLibrary.dll" / "inner");
    manager->requestReselection();
    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::EndPass);
    EXPECT_EQ(manager->state(), RuntimeState::ReselectRequested);
    EXPECT_EQ(rig.recorder.stops(), 1);
    EXPECT_EQ(rig.recorder.published().size(), 1u);  // only the install's

    fs::remove_all(rig.runtimeFolder() / "RuntimeLibrary.dll");
    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::EndPass);
    EXPECT_EQ(manager->state(), RuntimeState::Detecting);
    EXPECT_EQ(rig.recorder.stops(), 2);
    EXPECT_FALSE(fs::exists(rig.runtimeFolder() / "installed_runtime.txt"));
    EXPECT_EQ(rig.recorder.published().back(), (std::pair<std::string, std::string>{"", ""}));
    EXPECT_EQ(manager->readInstalledRuntimeName(), "");
}

TEST(RuntimeState, NothingStartsAfterShutdown) {
    InstallRig rig("aarch64");
    rig.repository.serve(qz::test::kCpuArmPath, qz::test::served(qz::test::runtimePackage("Generic CPU")));
    auto manager = rig.manager();
    manager->requestShutdown();
    qz::test::LogCapture log;
    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::Continue);
    EXPECT_EQ(manager->state(), RuntimeState::InstallFailed);
    EXPECT_TRUE(rig.repository.requests().empty());
    EXPECT_TRUE(rig.leftovers().empty());
}

TEST(RuntimeState, AUsedNvidiaRuntimeIsNotOfferedAgainUntilARestart) {
    InstallRig rig("aarch64");
    rig.repository.serve(qz::test::kCpuArmPath, qz::test::served(qz::test::runtimePackage("Generic CPU")));
    auto manager = rig.manager();
    qzai::RuntimesManagerTestAccess::nvidiaRuntimeWasUsed(*manager, "NVIDIA");
    // One runtime is left, yet the user is asked and told why NVIDIA is missing.
    EXPECT_EQ(rig.pass(*manager), RuntimePassResult::EndPass);
    EXPECT_EQ(manager->state(), RuntimeState::AwaitingSelection);
    EXPECT_EQ(manager->compatibleRuntimes(), (std::vector<std::string>{"Generic CPU"}));
    ASSERT_TRUE(rig.hasNotice("NVIDIA_RESTART_REQUIRED"));
    EXPECT_EQ(rig.messages.messages().at("NVIDIA_RESTART_REQUIRED").type, qzai::MessagingManager::MessageType::Info);
    EXPECT_FALSE(manager->chooseRuntime("NVIDIA"));
    ASSERT_TRUE(manager->chooseRuntime("Generic CPU"));
    rig.pass(*manager);
    EXPECT_EQ(manager->state(), RuntimeState::Ready);
    EXPECT_FALSE(rig.hasNotice("NVIDIA_RESTART_REQUIRED"));
}
