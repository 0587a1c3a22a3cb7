#include <gtest/gtest.h>

#include "common/messaging_manager.h"
#include "common/support/log_capture.h"
#include "runtimes/family_probes.h"
#include "runtimes/runtimes_manager.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;
using qz::test::describe;

namespace {

struct DeepxRow {
    const char* name;
    CpuArchitecture arch;
    const char* osName;
    int statusExit;    // -1: dxrt-cli cannot be started
    const char* info;  // null: "dxrt-cli -i" fails
    const char* record;
    const char* line;  // the log line that explains the outcome ("" = none)
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
    qz::test::LogCapture log;
    qzai::ChipStatus record;
    qzai::probeDeepxChip(record, r.arch, r.osName, "6.1.0", qz::test::fakeServices(runner, root, console),
                         qz::test::testConfig());
    EXPECT_EQ(describe(record), r.record);
    EXPECT_TRUE(!*r.line || log.contains(r.line)) << r.line;
}

constexpr const char* kNotInstalled = "DEEPX driver not installed or there are no DEEPX chips detected.\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, DeepxDecisions,
    testing::Values(
        DeepxRow{"status_fails", CpuArchitecture::X86_64, "Linux", 1, "DXRT v3.3.2", "DEEPX 00 n=0 api=", kNotInstalled},
        DeepxRow{"tool_missing", CpuArchitecture::X86_64, "Linux", -1, nullptr, "DEEPX 00 n=0 api=", kNotInstalled},
        DeepxRow{"info_fails", CpuArchitecture::X86_64, "Linux", 0, nullptr, "DEEPX 10 n=0 api=",
                 "DEEPX driver not detected.\n"},
        DeepxRow{"no_version", CpuArchitecture::X86_64, "Linux", 0, "DXRT v3.3\nRT driver 3.3.2\n", "DEEPX 10 n=0 api=",
                 "DEEPX driver version not detected.\n"},
        DeepxRow{"linux_332", CpuArchitecture::X86_64, "Linux", 0, "Device 0\n* DXRT v3.3.2 (build 7)\n",
                 "DEEPX 11 n=0 api=dxrt-v3.3.2 [DEEPX: DEEPX/x86_64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz | "
                 "application/x-dxnn]",
                 ""},
        DeepxRow{"windows_332", CpuArchitecture::X86_64, "Windows", 0, "DXRT v3.3.2",
                 "DEEPX 11 n=0 api=dxrt-v3.3.2 [DEEPX: DEEPX/x86_64/Windows/library-dxrt-v3.3.2.tar.gz | "
                 "application/x-dxnn]",
                 ""},
        DeepxRow{"aarch64_second_mention", CpuArchitecture::Aarch64, "Linux", 0, "DXRT v3.3 beta, DXRT v03.3.2",
                 "DEEPX 11 n=0 api=dxrt-v3.3.2 [DEEPX: DEEPX/aarch64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz | "
                 "application/x-dxnn]",
                 ""},
        DeepxRow{"version_3310", CpuArchitecture::X86_64, "Linux", 0, "DXRT v3.3.10", "DEEPX 10 n=0 api=",
                 "DEEPX driver version 3.3.10 is not supported.\n"},
        DeepxRow{"huge_number", CpuArchitecture::X86_64, "Linux", 0, "DXRT v99999999999.0.0", "DEEPX 10 n=0 api=",
                 "DEEPX driver version 99999999999.0.0 is not supported.\n"},
        DeepxRow{"jetson_not_probed", CpuArchitecture::Aarch64Jetson, "Linux", 0, "DXRT v3.3.2", "DEEPX 00 n=0 api=",
                 ""}));

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
    const std::vector<std::string> kX86 = {
        "CPU 11 n=1 api= [Generic CPU: CPU/x86_64/Linux/library.tar.gz | application/x-onnx]",
        "NVIDIA 11 n=1 api=cuda_12 [NVIDIA: NVIDIA_ORT/x86_64/Linux/library-cuda_12.tar.gz | application/x-onnx]",
        "DEEPX 11 n=0 api=dxrt-v3.3.2 [DEEPX: DEEPX/x86_64/Linux/5.15.0/library-dxrt-v3.3.2.tar.gz | "
        "application/x-dxnn]",
        "HAILO 00 n=0 api=",
        "INTEL 11 n=1 api= [Intel: INTEL/x86_64/Linux/library.tar.gz | application/zip; device=intel; precision=fp32]"};
    const std::vector<std::string> kArm = {
        "CPU 11 n=1 api= [Generic CPU: CPU/aarch64/Linux/library.tar.gz | application/x-onnx]", "NVIDIA 00 n=0 api=",
        "DEEPX 11 n=0 api=dxrt-v3.3.2 [DEEPX: DEEPX/aarch64/Linux/5.15.0/library-dxrt-v3.3.2.tar.gz | "
        "application/x-dxnn]",
        "HAILO 00 n=0 api=", "INTEL 00 n=0 api="};
    const std::vector<std::string> kSbsa = {
        "CPU 11 n=1 api= [Generic CPU: CPU/aarch64-sbsa/Linux/library.tar.gz | application/x-onnx]",
        "NVIDIA 00 n=0 api=", "DEEPX 00 n=0 api=", "HAILO 00 n=0 api=", "INTEL 00 n=0 api="};
    const std::pair<CpuArchitecture, std::vector<std::string>> rows[] = {
        {CpuArchitecture::X86_64, kX86}, {CpuArchitecture::Aarch64, kArm}, {CpuArchitecture::Aarch64Sbsa, kSbsa}};
    for (const auto& [arch, expected] : rows) {
        FullMachine machine;
        qzai::MessagingManager messages;
        qz::test::LogCapture log;
        const auto records =
            qzai::probeAllFamilies(arch, "Linux", "5.15.0", messages, machine.services(), qz::test::testConfig());
        EXPECT_EQ((std::vector<std::string>{describe(*records.cpu), describe(*records.nvidia), describe(*records.deepx),
                                            describe(*records.hailo), describe(*records.intel)}),
                  expected);
        std::vector<std::string> probeLines;
        for (const auto& line : log.lines()) {
            if (line.rfind("Checking for", 0) == 0) probeLines.push_back(line);
        }
        EXPECT_EQ(probeLines, (std::vector<std::string>{
                                  "Checking for supported CPU\n", "Checking for supported Nvidia chips\n",
                                  "Checking for supported DEEPX chips\n", "Checking for supported Hailo chips\n",
                                  "Checking for supported Intel chips\n"}));
        EXPECT_TRUE(messages.messages().empty());
    }
}

TEST(RuntimesManagerInit, MachineChecksAndFamilyMap) {
    constexpr const char* kBadFacts = "Error: The OS name or CPU architecture are not extracted correctly from the system.\n";
    struct Row {
        const char* arch;
        const char* osName;
        uint32_t maxLeaf;
        bool libgomp;
        const char* warning;  // notice id, "" = none
        std::vector<std::string> families;
        const char* line;
    };
    const Row rows[] = {
        {"x86_64", "Linux", 7, true, "", {"DEEPX", "Generic CPU", "Intel", "NVIDIA"},
         "OS Name: Linux, OS Version: 5.15.0, CPU Architecture: x86_64\n"},
        {"x86_64", "Linux", 6, true, "MISSING_AVX2_ERROR", {}, ""},
        // The AVX2 check is for x86 machines only.
        {"aarch64", "Linux", 0, true, "", {"DEEPX", "Generic CPU"},
         "OS Name: Linux, OS Version: 5.15.0, CPU Architecture: aarch64\n"},
        {"x86_64", "Linux", 7, false, "MISSING_LIBGOMP_ERROR", {}, ""},
        {"riscv64", "Linux", 7, true, "", {}, kBadFacts},
        {"x86_64", "", 7, true, "", {}, kBadFacts},
    };
    for (const auto& r : rows) {
        FullMachine machine;
        machine.root.write("proc/sys/kernel/arch", std::string(r.arch) + "\n");
        auto services = machine.services();
        services.osName = r.osName;
        auto cpuid = services.cpuid;
        services.cpuid = [cpuid, maxLeaf = r.maxLeaf](uint32_t leaf, uint32_t sub, qzai::CpuidRegisters& regs) {
            const bool ok = leaf <= maxLeaf && cpuid(leaf, sub, regs);
            if (leaf == 0) regs.eax = maxLeaf;
            return ok;
        };
        services.isLibgompAvailable = [libgomp = r.libgomp](const std::string& name) {
            return libgomp && name == "libgomp.so";
        };
        qz::test::TempDir bin;
        qzai::RuntimesManager manager(bin.path().string(), services, qz::test::testConfig());
        qzai::MessagingManager messages;
        qz::test::LogCapture log;
        manager.initialize(messages);

        const std::string label = std::string(r.arch) + " " + r.warning + r.line;
        std::vector<std::string> families;
        for (const auto& [name, family] : manager.runtimeFamilies()) {
            families.push_back(name);
            EXPECT_EQ(family->runtimes.count(name), 1u) << label;
        }
        EXPECT_EQ(families, r.families) << label;
        const bool probed = !r.families.empty();
        EXPECT_EQ(manager.cpuChip() != nullptr, probed) << label;
        EXPECT_EQ(log.contains("Runtimes Manager initialized.\n"), probed) << label;
        EXPECT_TRUE(!*r.line || log.contains(r.line)) << label;
        const auto notices = messages.messages();
        EXPECT_EQ(notices.size(), *r.warning ? 1u : 0u) << label;
        for (const auto& [id, notice] : notices) {
            EXPECT_EQ(id, r.warning);
            EXPECT_EQ(notice.type, qzai::MessagingManager::MessageType::Warning);
        }
        // Of the status lines only the Intel record's is printed.
        EXPECT_EQ(log.count("Chip name:"), log.count("Chip name: INTEL"));
        EXPECT_EQ(log.count("Chip name: INTEL"), probed && std::string(r.arch) == "x86_64" ? 1u : 0u) << label;
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
