// The probes through the real command runner: driver tools are shell scripts
// in a temporary folder put first on the child's PATH.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "common/messaging_manager.h"
#include "common/support/log_capture.h"
#include "common/support/process_state.h"
#include "runtimes/family_probes.h"
#include "runtimes/machine_info.h"
#include "runtimes/nvidia_probe.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr const char* kCudaPath = R"(C:\Program Files\NVIDIA GPU Computing Toolkit\CUDA\v12.4)";

const char* const kSmiScript = R"(#!/bin/sh
here=$(dirname "$0")
case "$*" in
  "") echo "NVIDIA-SMI 570.86.10"; echo "warning: persistence mode is off" 1>&2 ;;
  "-q -x") echo "nvidia-smi: reading the log" 1>&2; cat "$here/smi.xml" ;;
  "--query-gpu=compute_cap --format=csv,noheader") printf '8.6\n8.6\n' ;;
  "--query-gpu=count --format=csv,noheader") printf '2\n2\n' ;;
  *) echo "unknown arguments: $*" 1>&2; exit 3 ;;
esac
)";

const char* const kDxrtScript = R"(#!/bin/sh
here=$(dirname "$0")
case "$*" in
  "--status") echo "1 device ready" ;;
  "-i") cat "$here/dxrt-info.txt"; echo "DXRT v3.3.2" 1>&2 ;;
  *) exit 3 ;;
esac
)";

class ProbeMachine {
public:
    ProbeMachine() {
        root.kernel("6.1.0-18-amd64", "x86_64");
        root.pciDevice("0000:00:02.0", "0x8086", "0x46a6");
        root.pciDevice("0000:01:00.0", "0x10de", "0x2204", "0x10de", "0x1471", "0xa1");
        tools.write("smi.xml",
                    "<?xml version=\"1.0\" ?>\n<nvidia_smi_log>\n  <driver_version>570.86.10</driver_version>\n"
                    "  <cuda_version>12.8</cuda_version>\n  <cuda_umd_version></cuda_umd_version>\n</nvidia_smi_log>\n");
        tools.write("dxrt-info.txt", "DEEPX runtime information\nDevice 0: M1, 4 GB\n");
        script("nvidia-smi", kSmiScript);
        script("dxrt-cli", kDxrtScript);
    }
    void script(const std::string& name, const std::string& body, mode_t mode = 0755) const {
        const std::string path = tools.write(name, body);
        ::chmod(path.c_str(), mode);
    }
    qzai::PlatformServices services() {
        auto services = qz::test::fakeServices(runner, root, console);
        services.runCommand = qzai::PlatformServices().runCommand;  // the real runner
        std::string lowerCuda = std::string(kCudaPath) + "\\BIN";
        std::transform(lowerCuda.begin(), lowerCuda.end(), lowerCuda.begin(), ::tolower);
        services.environment = qzai::ProcessEnvironment(
            {"CUDA_PATH=" + std::string(kCudaPath), "PATH=" + tools.path().string() + ":/usr/bin:/bin:" + lowerCuda});
        return services;
    }

    qz::test::FakeRoot root;
    qz::test::TempDir tools;
    qz::test::FakeRunner runner;  // unused: the real runner runs the scripts
    qz::test::ConsoleLines console;
};

std::vector<std::string> offered(const qzai::FamilyRecords& records) {
    std::vector<std::string> names;
    for (const qzai::ChipStatus* family :
         {records.cpu.get(), static_cast<qzai::ChipStatus*>(records.nvidia.get()), records.deepx.get(),
          static_cast<qzai::ChipStatus*>(records.hailo.get()), records.intel.get()}) {
        for (const auto& entry : family->runtimes) names.push_back(entry.first);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ProbesIntegration, EveryFamilyThroughRealChildProcesses) {
    ProbeMachine machine;
    const auto services = machine.services();
    const qzai::MachineInfo info(services);
    ASSERT_EQ(info.osVersion(), "6.1.0");
    ASSERT_EQ(info.cpuArchitecture(), qzai::CpuArchitecture::X86_64);
    qzai::MessagingManager messages;
    const auto records = qzai::probeAllFamilies(info.cpuArchitecture(), info.osName(), info.osVersion(), messages,
                                                services, qz::test::testConfig());

    EXPECT_EQ(offered(records), (std::vector<std::string>{"DEEPX", "Generic CPU", "Intel", "NVIDIA"}));
    EXPECT_EQ(records.nvidia->runtimes.at("NVIDIA").downloadUrl,
              "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_ORT/x86_64/Linux/library-cuda_12.tar.gz");
    EXPECT_EQ(records.nvidia->numberOfChips, 2);
    EXPECT_EQ(records.nvidia->computeCapability, "86");
    EXPECT_EQ(records.nvidia->cudaToolkitVersion, "12.4");
    EXPECT_EQ(records.deepx->apiVersion, "dxrt-v3.3.2");
    EXPECT_EQ(records.deepx->runtimes.at("DEEPX").downloadUrl,
              "https://repo.test/PELM/runtimes/2.0.0/DEEPX/x86_64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz");
    EXPECT_TRUE(messages.messages().empty());
    EXPECT_EQ(machine.console.out, "Found NVIDIA device key: VEN_10DE&DEV_2204&SUBSYS_147110DE&REV_A1\n");
}

TEST(ProbesIntegration, BrokenDriverToolsLeaveNvidiaOut) {
    struct Row {
        const char* name;
        std::function<void(ProbeMachine&)> breakIt;
        std::chrono::milliseconds timeout;
    };
    const auto never = std::string("#!/bin/sh\necho $$ > \"$(dirname \"$0\")/group.pid\"\n");
    const Row rows[] = {
        {"exit code 9", [](ProbeMachine& m) { m.script("nvidia-smi", "#!/bin/sh\necho failing\nexit 9\n"); },
         std::chrono::seconds(30)},
        {"missing program", [](ProbeMachine& m) { std::filesystem::remove(m.tools.path() / "nvidia-smi"); },
         std::chrono::seconds(30)},
        {"no #! line", [](ProbeMachine& m) { m.script("nvidia-smi", "echo NVIDIA-SMI\n"); }, std::chrono::seconds(30)},
        {"never ends", [&](ProbeMachine& m) { m.script("nvidia-smi", never + "echo NVIDIA-SMI\nexec sleep 1000\n"); },
         std::chrono::milliseconds(300)},
        {"background holds output",
         [&](ProbeMachine& m) {
             m.script("nvidia-smi", never + "sleep 1000 &\necho $! > \"$(dirname \"$0\")/background.pid\"\nexit 0\n");
         },
         std::chrono::milliseconds(300)},
    };
    for (const auto& row : rows) {
        ProbeMachine machine;
        row.breakIt(machine);
        auto services = machine.services();
        services.commandTimeout = row.timeout;
        qzai::MessagingManager messages;
        qz::test::LogCapture log;
        qzai::NvidiaChipStatus record;
        const auto start = std::chrono::steady_clock::now();
        qzai::probeNvidiaChip(record, qzai::CpuArchitecture::X86_64, "Linux", "6.1.0", messages, services,
                              qz::test::testConfig());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << row.name;

        EXPECT_FALSE(record.chipDetected) << row.name;
        EXPECT_TRUE(record.runtimes.empty()) << row.name;
        const auto notices = messages.messages();
        ASSERT_EQ(notices.count("NVIDIA_GPU_SDK"), 1u) << row.name;
        EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").text.rfind("NVIDIA GPU acceleration is unavailable", 0), 0u);
        EXPECT_TRUE(log.contains("nvidia-smi not found or not working properly.\n")) << row.name;

        // Nothing the script started is left running.
        if (row.timeout < std::chrono::seconds(1)) {
            EXPECT_TRUE(std::filesystem::exists(machine.tools.path() / "group.pid")) << row.name;
        }
        for (const char* file : {"group.pid", "background.pid"}) {
            std::ifstream in(machine.tools.path() / file);
            pid_t pid = 0;
            if (!(in >> pid)) continue;
            EXPECT_TRUE(qz::test::eventually([&] { return qz::test::processEnded(pid); })) << row.name << " " << file;
        }
    }
    // The runner reports a missing program as -1, never as the shell's 127.
    ProbeMachine machine;
    std::filesystem::remove(machine.tools.path() / "nvidia-smi");
    EXPECT_EQ(machine.services().run({"nvidia-smi"}).exitCode, -1);
}

TEST(ProbesIntegration, MissingDeviceListing) {
    ProbeMachine machine;
    std::filesystem::remove_all(std::filesystem::path(machine.root.path()) / "sys");
    qzai::MessagingManager messages;
    qz::test::LogCapture log;
    qzai::NvidiaChipStatus record;
    qzai::probeNvidiaChip(record, qzai::CpuArchitecture::X86_64, "Linux", "6.1.0", messages, machine.services(),
                          qz::test::testConfig());
    EXPECT_EQ(machine.console.err, "Failed to open PCI registry key, status=2\n");
    EXPECT_TRUE(log.contains("NVIDIA GPU not found.\n"));
    EXPECT_TRUE(messages.messages().empty());
    EXPECT_TRUE(record.runtimes.empty());
}

}  // namespace
