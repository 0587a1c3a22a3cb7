#include <gtest/gtest.h>

#include "common/messaging_manager.h"
#include "common/support/log_capture.h"
#include "runtimes/family_probes.h"
#include "runtimes/runtimes_manager.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;

namespace {

struct DeepxRow {
    const char* name;
    CpuArchitecture arch;
    const char* osName;
    int statusExit;      // -1: dxrt-cli cannot be started
    const char* info;    // null: "dxrt-cli -i" fails
    bool detected;
    const char* api;
    const char* url;     // "" = no runtime
    const char* line;    // the log line that explains the outcome ("" = none)
};

void PrintTo(const DeepxRow& r, std::ostream* os) { *os << r.name; }

class DeepxDecisions : public testing::TestWithParam<DeepxRow> {};

TEST_P(DeepxDecisions, Outcome) {
    const DeepxRow& r = GetParam();
    qz::test::FakeRoot root;
    qz::test::FakeRunner runner;
    if (r.statusExit >= 0) runner.answer("dxrt-cli --status", r.statusExit, "status\n");
    if (r.info) runner.answer("dxrt-cli -i", 0, r.info);
    qz::test::ConsoleLines console;
    const auto services = qz::test::fakeServices(runner, root, console);
    qz::test::LogCapture log;
    qzai::ChipStatus record;
    qzai::probeDeepxChip(record, r.arch, r.osName, "6.1.0", services, qz::test::testConfig());

    EXPECT_EQ(record.chipName, "DEEPX");
    EXPECT_EQ(record.chipDetected, r.detected);
    EXPECT_EQ(record.correctlyInstalled, std::string(r.url) != "");
    EXPECT_EQ(record.apiVersion, r.api);
    EXPECT_EQ(record.numberOfChips, 0);
    if (std::string(r.url).empty()) {
        EXPECT_TRUE(record.runtimes.empty());
    } else {
        ASSERT_EQ(record.runtimes.size(), 1u);
        EXPECT_EQ(record.runtimes["DEEPX"].downloadUrl, r.url);
        EXPECT_EQ(record.runtimes["DEEPX"].mimeTypes, std::vector<std::string>{"application/x-dxnn"});
    }
    EXPECT_TRUE(!*r.line || log.contains(r.line)) << r.line;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeepxDecisions,
    testing::Values(
        DeepxRow{"status_fails", CpuArchitecture::X86_64, "Linux", 1, "DXRT v3.3.2", false, "", "",
                 "DEEPX driver not installed or there are no DEEPX chips detected.\n"},
        DeepxRow{"tool_missing", CpuArchitecture::X86_64, "Linux", -1, nullptr, false, "", "",
                 "DEEPX driver not installed or there are no DEEPX chips detected.\n"},
        DeepxRow{"info_fails", CpuArchitecture::X86_64, "Linux", 0, nullptr, true, "", "", "DEEPX driver not detected.\n"},
        DeepxRow{"no_version", CpuArchitecture::X86_64, "Linux", 0, "DXRT v3.3\nRT driver 3.3.2\n", true, "", "",
                 "DEEPX driver version not detected.\n"},
        DeepxRow{"linux_332", CpuArchitecture::X86_64, "Linux", 0, "Device 0\n* DXRT v3.3.2 (build 7)\n", true,
                 "dxrt-v3.3.2", "https://repo.test/PELM/runtimes/2.0.0/DEEPX/x86_64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz",
                 ""},
        DeepxRow{"windows_332", CpuArchitecture::X86_64, "Windows", 0, "DXRT v3.3.2", true, "dxrt-v3.3.2",
                 "https://repo.test/PELM/runtimes/2.0.0/DEEPX/x86_64/Windows/library-dxrt-v3.3.2.tar.gz", ""},
        DeepxRow{"aarch64_second_mention", CpuArchitecture::Aarch64, "Linux", 0, "DXRT v3.3 beta, DXRT v03.3.2", true,
                 "dxrt-v3.3.2", "https://repo.test/PELM/runtimes/2.0.0/DEEPX/aarch64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz",
                 ""},
        DeepxRow{"version_3310", CpuArchitecture::X86_64, "Linux", 0, "DXRT v3.3.10", true, "", "",
                 "DEEPX driver version 3.3.10 is not supported.\n"},
        DeepxRow{"huge_number", CpuArchitecture::X86_64, "Linux", 0, "DXRT v99999999999.0.0", true, "", "",
                 "DEEPX driver version 99999999999.0.0 is not supported.\n"},
        DeepxRow{"jetson_not_probed", CpuArchitecture::Aarch64Jetson, "Linux", 0, "DXRT v3.3.2", false, "", "", ""}));

TEST(FamilyProbes, FixedFamilies) {
    const auto config = qz::test::testConfig();
    qzai::MessagingManager messages;
    qz::test::LogCapture log;
    qzai::ChipStatus cpu, intelX86, intelArm;
    qzai::probeCpu(cpu, CpuArchitecture::Aarch64, "Linux", "6.1.0", config);
    qzai::probeIntelChip(intelX86, CpuArchitecture::X86_64, "Linux", "6.1.0", messages, config);
    qzai::probeIntelChip(intelArm, CpuArchitecture::Aarch64, "Linux", "6.1.0", messages, config);

    EXPECT_EQ(cpu.chipName, "CPU");
    EXPECT_TRUE(cpu.chipDetected && cpu.correctlyInstalled);
    EXPECT_EQ(cpu.numberOfChips, 1);
    ASSERT_EQ(cpu.runtimes.size(), 1u);
    EXPECT_EQ(cpu.runtimes["Generic CPU"].downloadUrl,
              "https://repo.test/PELM/runtimes/2.0.0/CPU/aarch64/Linux/library.tar.gz");
    EXPECT_EQ(cpu.runtimes["Generic CPU"].mimeTypes, std::vector<std::string>{"application/x-onnx"});

    EXPECT_EQ(intelX86.chipName, "INTEL");
    EXPECT_TRUE(intelX86.chipDetected && intelX86.correctlyInstalled);
    EXPECT_EQ(intelX86.numberOfChips, 1);
    ASSERT_EQ(intelX86.runtimes.size(), 1u);
    EXPECT_EQ(intelX86.runtimes["Intel"].downloadUrl,
              "https://repo.test/PELM/runtimes/2.0.0/INTEL/x86_64/Linux/library.tar.gz");
    EXPECT_EQ(intelX86.runtimes["Intel"].mimeTypes,
              std::vector<std::string>{"application/zip; device=intel; precision=fp32"});

    EXPECT_EQ(intelArm.chipName, "INTEL");
    EXPECT_FALSE(intelArm.chipDetected || intelArm.correctlyInstalled);
    EXPECT_EQ(intelArm.numberOfChips, 0);
    EXPECT_TRUE(intelArm.runtimes.empty());
    EXPECT_TRUE(messages.messages().empty());

    qzai::HailoChipStatus hailo;
    hailo.generation = 2;
    hailo.correctlyInstalled = true;
    qzai::probeHailoChip(hailo, CpuArchitecture::X86_64, "Linux", "6.1.0", config);
    EXPECT_EQ(hailo.chipName, "HAILO");
    EXPECT_EQ(hailo.generation, 0u);
    EXPECT_FALSE(hailo.correctlyInstalled);
    EXPECT_TRUE(hailo.runtimes.empty());

    EXPECT_EQ(qzai::joinPath("/a/b", "c", "d.txt"), "/a/b/c/d.txt");
    EXPECT_EQ(qzai::joinPath("/a/b/", "c"), "/a/b/c");
}

// A machine with an NVIDIA GPU whose stack works and a supported DEEPX driver.
struct FullMachine {
    qz::test::FakeRoot root;
    qz::test::FakeRunner runner;
    qz::test::ConsoleLines console;
    FullMachine() {
        root.kernel("5.15.0-91-generic", "x86_64");
        root.pciDevice("0000:01:00.0", "0x10de");
        runner.answer("nvidia-smi", 0);
        runner.answer("nvidia-smi -q -x", 0, "<cuda_version>12.8</cuda_version>");
        runner.answer("nvidia-smi --query-gpu=compute_cap --format=csv,noheader", 0, "8.9\n");
        runner.answer("nvidia-smi --query-gpu=count --format=csv,noheader", 0, "1\n");
        runner.answer("dxrt-cli --status", 0);
        runner.answer("dxrt-cli -i", 0, "DXRT v3.3.2\n");
    }
    qzai::PlatformServices services() {
        return qz::test::fakeServices(runner, root, console, {R"(CUDA_PATH=C:\CUDA\v12.4)", R"(PATH=C:\CUDA\v12.4\bin)"});
    }
};

TEST(FamilyProbes, AllFamiliesInOrder) {
    struct Row {
        CpuArchitecture arch;
        std::vector<std::string> cpu, nvidia, deepx, intel;
        std::vector<std::string> lines;
    };
    const std::vector<std::string> x86Lines = {
        "Checking for supported CPU\n", "Checking for supported Nvidia chips\n", "Checking for supported DEEPX chips\n",
        "Checking for supported Hailo chips\n", "Checking for supported Intel chips\n"};
    const Row rows[] = {
        {CpuArchitecture::X86_64, {"Generic CPU"}, {"NVIDIA"}, {"DEEPX"}, {"Intel"}, x86Lines},
        {CpuArchitecture::Aarch64, {"Generic CPU"}, {}, {"DEEPX"}, {}, x86Lines},
        {CpuArchitecture::Aarch64Sbsa, {"Generic CPU"}, {}, {}, {}, x86Lines},
    };
    for (const auto& r : rows) {
        FullMachine machine;
        qzai::MessagingManager messages;
        qz::test::LogCapture log;
        const auto records = qzai::probeAllFamilies(r.arch, "Linux", "5.15.0", messages, machine.services(),
                                                    qz::test::testConfig());
        auto names = [](const qzai::ChipStatus& record) { return record.matchRuntimes(""); };
        EXPECT_EQ(names(*records.cpu), r.cpu);
        EXPECT_EQ(names(*records.nvidia), r.nvidia);
        EXPECT_EQ(names(*records.deepx), r.deepx);
        EXPECT_TRUE(records.hailo->runtimes.empty());
        EXPECT_EQ(names(*records.intel), r.intel);
        std::vector<std::string> probeLines;
        for (const auto& line : log.lines()) {
            if (line.rfind("Checking for", 0) == 0) probeLines.push_back(line);
        }
        EXPECT_EQ(probeLines, r.lines);
        EXPECT_TRUE(messages.messages().empty());
    }
}

TEST(RuntimesManagerInit, MachineChecksAndFamilyMap) {
    struct Row {
        const char* name;
        const char* arch;
        const char* osName;
        uint32_t maxLeaf;
        bool libgomp;
        const char* warning;  // notice id, "" = none
        std::vector<std::string> families;
        const char* line;
    };
    const Row rows[] = {
        {"x86_64", "x86_64", "Linux", 7, true, "", {"DEEPX", "Generic CPU", "Intel", "NVIDIA"},
         "OS Name: Linux, OS Version: 5.15.0, CPU Architecture: x86_64\n"},
        {"no avx2", "x86_64", "Linux", 6, true, "MISSING_AVX2_ERROR", {}, ""},
        // Without AVX2 an ARM machine goes on: the check is for x86 runtimes.
        {"arm without avx2", "aarch64", "Linux", 0, true, "", {"DEEPX", "Generic CPU"},
         "OS Name: Linux, OS Version: 5.15.0, CPU Architecture: aarch64\n"},
        {"no libgomp", "x86_64", "Linux", 7, false, "MISSING_LIBGOMP_ERROR", {}, ""},
        {"unknown arch", "riscv64", "Linux", 7, true, "", {},
         "Error: The OS name or CPU architecture are not extracted correctly from the system.\n"},
        {"no os name", "x86_64", "", 7, true, "", {},
         "Error: The OS name or CPU architecture are not extracted correctly from the system.\n"},
    };
    for (const auto& r : rows) {
        FullMachine machine;
        machine.root.write("proc/sys/kernel/arch", std::string(r.arch) + "\n");
        auto services = machine.services();
        services.osName = r.osName;
        const uint32_t maxLeaf = r.maxLeaf;
        auto realCpuid = services.cpuid;
        services.cpuid = [=](uint32_t leaf, uint32_t sub, qzai::CpuidRegisters& regs) {
            if (leaf > maxLeaf) return false;
            const bool ok = realCpuid(leaf, sub, regs);
            if (leaf == 0) regs.eax = maxLeaf;
            return ok;
        };
        const bool libgomp = r.libgomp;
        services.isLibgompAvailable = [=](const std::string& name) { return libgomp && name == "libgomp.so"; };
        qz::test::TempDir bin;
        qzai::RuntimesManager manager(bin.path().string(), services, qz::test::testConfig());
        qzai::MessagingManager messages;
        qz::test::LogCapture log;
        manager.initialize(messages);

        std::vector<std::string> families;
        for (const auto& [name, family] : manager.runtimeFamilies()) {
            families.push_back(name);
            EXPECT_EQ(family->runtimes.count(name), 1u) << r.name;
        }
        EXPECT_EQ(families, r.families) << r.name;
        const bool probed = !r.families.empty();
        EXPECT_EQ(manager.cpuChip() != nullptr, probed) << r.name;
        EXPECT_EQ(log.contains("Runtimes Manager initialized.\n"), probed) << r.name;
        EXPECT_TRUE(!*r.line || log.contains(r.line)) << r.name;
        const auto notices = messages.messages();
        if (*r.warning) {
            ASSERT_EQ(notices.count(r.warning), 1u) << r.name;
            EXPECT_EQ(notices.at(r.warning).type, qzai::MessagingManager::MessageType::Warning);
        } else {
            EXPECT_TRUE(notices.empty()) << r.name;
        }
        if (probed) {
            EXPECT_EQ(manager.runtimeFamilies().at("Generic CPU"), manager.cpuChip());
            EXPECT_EQ(log.count("Chip name: INTEL"), std::string(r.arch) == "x86_64" ? 1u : 0u) << r.name;
            EXPECT_EQ(log.count("Chip name:"), log.count("Chip name: INTEL")) << r.name;
        }
    }
}

TEST(RuntimesManagerInit, SecondInitializeForgetsRuntimesNoLongerOffered) {
    FullMachine machine;
    qz::test::TempDir bin;
    qzai::RuntimesManager manager(bin.path().string(), machine.services(), qz::test::testConfig());
    qzai::MessagingManager messages;
    manager.initialize(messages);
    ASSERT_EQ(manager.runtimeFamilies().count("DEEPX"), 1u);
    machine.runner.answer("dxrt-cli --status", 1);
    manager.initialize(messages);
    EXPECT_EQ(manager.runtimeFamilies().count("DEEPX"), 0u);
    for (const auto& [name, family] : manager.runtimeFamilies()) EXPECT_EQ(family->runtimes.count(name), 1u) << name;
}

}  // namespace
