// The manager on this very machine, with the real platform services.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/messaging_manager.h"
#include "common/support/temp_dir.h"
#include "inference/preprocessing/vector_level.h"
#include "platform/environment.h"
#include "platform/pci_devices.h"
#include "platform/process.h"
#include "runtimes/machine_info.h"
#include "runtimes/runtimes_manager.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

bool cpuinfoHasAvx2() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::string flag;
        while (words >> flag) {
            if (flag == "avx2") return true;
        }
        return false;
    }
    return false;
}

}  // namespace

// The preprocessing's AVX2 switch follows the vector level, also in a program
// that holds the machine probe beside it, as the plug-in library does.
TEST(RealMachine, TheVectorLevelCapHoldsBesideTheMachineProbe) {
    qzai::capVectorLevel(qzai::VectorLevel::Baseline);
    const bool cappedAvx2 = qzai::avx2Enabled();
    qzai::capVectorLevel(qzai::VectorLevel::Avx2);
    EXPECT_FALSE(cappedAvx2);
    EXPECT_EQ(qzai::avx2Enabled(), qzai::hasAvx2());
}

TEST(RealMachine, NoAcceleratorsOnThisMachine) {
    for (const auto& entry : qzai::listPciDevices("/").entries) {
        if (entry.name.rfind("VEN_10DE", 0) == 0) GTEST_SKIP() << "this machine has an NVIDIA device: " << entry.name;
    }
    if (!qzai::findProgramInPath("dxrt-cli", qzai::ProcessEnvironment::current().get("PATH").value_or("")).empty()) {
        GTEST_SKIP() << "dxrt-cli is on PATH";
    }

    const bool avx2 = qzai::hasAvx2();
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(avx2, cpuinfoHasAvx2());
    __builtin_cpu_init();
    EXPECT_EQ(avx2, __builtin_cpu_supports("avx2") != 0);
#endif

    qz::test::TempDir bin;
    qzai::RuntimesManager manager(bin.path().string(), qzai::PlatformServices(), qzai::RuntimesConfig::fromIni());
    qzai::MessagingManager messages;
    manager.initialize(messages);

    unsigned long major = 0, minor = 0, patch = 0;
    FILE* uname = ::popen("uname -r", "r");
    ASSERT_NE(uname, nullptr);
    const int fields = std::fscanf(uname, "%lu.%lu.%lu", &major, &minor, &patch);
    ::pclose(uname);
    EXPECT_EQ(manager.osVersion(), fields == 3 ? std::to_string(major) + "." + std::to_string(minor) + "." +
                                                     std::to_string(patch)
                                               : "Unknown");
    EXPECT_EQ(manager.osName(), "Linux");
    if (manager.cpuArchitecture() == qzai::CpuArchitecture::X86_64 && !avx2) {
        EXPECT_EQ(messages.messages().count("MISSING_AVX2_ERROR"), 1u);
        GTEST_SKIP() << "no AVX2 here: no family is probed";
    }

    ASSERT_NE(manager.nvidiaChip(), nullptr);
    EXPECT_FALSE(manager.nvidiaChip()->chipDetected);
    ASSERT_NE(manager.deepxChip(), nullptr);
    EXPECT_FALSE(manager.deepxChip()->chipDetected);
    EXPECT_EQ(messages.messages().count("NVIDIA_GPU_SDK"), 0u);

    std::vector<std::string> families;
    for (const auto& entry : manager.runtimeFamilies()) families.push_back(entry.first);
    if (manager.cpuArchitecture() == qzai::CpuArchitecture::X86_64) {
        EXPECT_EQ(families, (std::vector<std::string>{"Generic CPU", "Intel"}));
    } else {
        EXPECT_EQ(families, std::vector<std::string>{"Generic CPU"});
    }
}
