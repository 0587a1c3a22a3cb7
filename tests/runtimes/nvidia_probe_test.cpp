#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "common/messaging_manager.h"
#include "common/support/log_capture.h"
#include "runtimes/nvidia_probe.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;

namespace {

const std::string kLink =
    "<a href=\"https://docs.test/kelv/accelerators/nvidia_support#x86_64-windows\">documentation</a>";
// The notice texts by kind; each row names the kind it expects.
const std::map<std::string, std::string> kNotices = {
    {"unavailable",
     "NVIDIA GPU acceleration is unavailable on this machine. A different compatible runtime will be used if "
     "available. To enable NVIDIA acceleration, follow the setup instructions in the " + kLink},
    {"path",  // the path is HTML-escaped inside the notice
     "The CUDA Toolkit path is not in the PATH environment variable. Please add 'D:\\Tools &amp; &lt;b&gt; "
     "&quot;x&#39;\\CUDA\\v12.4\\bin' to the PATH environment variable and restart the server. For more "
     "information, follow the instructions in the " + kLink},
    {"driver",
     "Your installed CUDA Toolkit (12.4) is newer than what your NVIDIA driver supports (up to CUDA 12.2). Please "
     "update your NVIDIA driver or install a CUDA Toolkit version it supports. See <a "
     "href=\"https://docs.nvidia.com/deploy/cuda-compatibility/index.html\">https://docs.nvidia.com/deploy/"
     "cuda-compatibility/index.html</a> for details on CUDA Toolkit and driver compatibility."},
    {"sm",
     "Your GPU's compute capability is not compatible with the installed CUDA Toolkit (API). Please install a "
     "CUDA Toolkit version supported by your GPU. See <a href=\"https://developer.nvidia.com/cuda-gpus\">"
     "https://developer.nvidia.com/cuda-gpus</a> for the supported compute capabilities per CUDA version."},
};

// What the machine answers; every row changes some of it.
struct Machine {
    bool nvidiaDevice = true;
    int smiExit = 0;  // -1: nvidia-smi cannot be started
    const char* cudaPath = R"(C:\Program Files\NVIDIA GPU Computing Toolkit\CUDA\v12.4)";  // null: unset
    const char* path = R"(c:\windows;c:\program files\nvidia gpu computing toolkit\cuda\v12.4\bin)";
    const char* xml = "<nvidia_smi_log><cuda_version>12.8</cuda_version><cuda_umd_version></cuda_umd_version>";
    const char* computeCap = "8.6\n";  // null: the query fails
    const char* count = "2\n";
};

struct NvidiaRow {
    const char* name;
    std::function<void(Machine&)> change;
    const char* notice;   // kind in kNotices, "" = none
    const char* outcome;  // detected, installed, apiVersion, toolkit, SM, GPUs
};
void PrintTo(const NvidiaRow& r, std::ostream* os) { *os << r.name; }

class NvidiaDecisions : public testing::TestWithParam<NvidiaRow> {};

TEST_P(NvidiaDecisions, Outcome) {
    const NvidiaRow& r = GetParam();
    Machine m;
    if (r.change) r.change(m);
    qz::test::FakeRoot root;
    root.pciDevice("0000:00:02.0", "0x8086", "0x46a6");
    if (m.nvidiaDevice) root.pciDevice("0000:01:00.0", "0x10de", "0x2204", "0x10de", "0x1471", "0xa1");
    qz::test::FakeRunner runner;
    if (m.smiExit >= 0) runner.answer("nvidia-smi", m.smiExit, "NVIDIA-SMI 570.1\n");
    if (m.xml) runner.answer("nvidia-smi -q -x", 0, m.xml);
    if (m.computeCap) runner.answer("nvidia-smi --query-gpu=compute_cap --format=csv,noheader", 0, m.computeCap);
    if (m.count) runner.answer("nvidia-smi --query-gpu=count --format=csv,noheader", 0, m.count);
    std::vector<std::string> environment = {"SYSTEMROOT=C:\\Windows"};
    if (m.cudaPath) environment.push_back(std::string("CUDA_PATH=") + m.cudaPath);
    if (m.path) environment.push_back(std::string("PATH=") + m.path);
    qz::test::ConsoleLines console;
    auto services = qz::test::fakeServices(runner, root, console, environment);
    services.commandTimeout = std::chrono::milliseconds(1234);
    qzai::MessagingManager messages;
    qz::test::LogCapture log;

    qzai::NvidiaChipStatus record;
    qzai::probeNvidiaChip(record, CpuArchitecture::X86_64, "Linux", "6.1.0", messages, services,
                          qz::test::testConfig());

    EXPECT_EQ(record.chipName, "NVIDIA");
    EXPECT_EQ(std::to_string(record.chipDetected) + "|" + std::to_string(record.correctlyInstalled) + "|" +
                  record.apiVersion + "|" + record.cudaToolkitVersion + "|" + record.computeCapability + "|" +
                  std::to_string(record.numberOfChips),
              r.outcome);
    if (record.correctlyInstalled) {
        ASSERT_EQ(record.runtimes.size(), 1u);
        EXPECT_EQ(record.runtimes["NVIDIA"].downloadUrl,
                  "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_ORT/x86_64/Linux/library-" + record.apiVersion +
                      ".tar.gz");
        EXPECT_EQ(record.runtimes["NVIDIA"].mimeTypes, std::vector<std::string>{"application/x-onnx"});
    } else {
        EXPECT_TRUE(record.runtimes.empty());
    }
    const auto notices = messages.messages();
    if (*r.notice) {
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").type, qzai::MessagingManager::MessageType::Info);
        std::string expected = kNotices.at(r.notice);
        if (const size_t api = expected.find("(API)"); api != std::string::npos) {
            expected.replace(api + 1, 3, record.apiVersion);
        }
        EXPECT_EQ(notices.at("NVIDIA_GPU_SDK").text, expected);
    } else {
        EXPECT_TRUE(notices.empty());
    }
    for (const auto timeout : runner.timeouts()) EXPECT_EQ(timeout.count(), 1234);
    EXPECT_EQ(console.out, m.nvidiaDevice ? "Found NVIDIA device key: VEN_10DE&DEV_2204&SUBSYS_147110DE&REV_A1\n"
                                          : "No NVIDIA PCI device (VEN_10DE) found in registry.\n");
    EXPECT_EQ(log.contains("NVIDIA GPU not found.\n"), !m.nvidiaDevice);
}

const char* const kCuda11 = R"(C:\CUDA\v11.8)";
const char* const kCuda11Path = R"(C:\CUDA\v11.8\bin)";

INSTANTIATE_TEST_SUITE_P(
    Rows, NvidiaDecisions,
    testing::Values(
        NvidiaRow{"everything_works", nullptr, "", "1|1|cuda_12|12.4|86|2"},
        NvidiaRow{"no_nvidia_device", [](Machine& m) { m.nvidiaDevice = false; }, "", "0|0||||0"},
        NvidiaRow{"smi_missing", [](Machine& m) { m.smiExit = -1; }, "unavailable", "0|0||||0"},
        NvidiaRow{"smi_exit_9", [](Machine& m) { m.smiExit = 9; }, "unavailable", "0|0||||0"},
        NvidiaRow{"cuda_path_unset", [](Machine& m) { m.cudaPath = nullptr; }, "unavailable", "1|0||||0"},
        NvidiaRow{"cuda_path_1024_chars",
                  [](Machine& m) {
                      static const std::string longPath = std::string(m.cudaPath) + std::string(1024, 'x');
                      m.cudaPath = longPath.c_str() + longPath.size() - 1024;
                  },
                  "unavailable", "1|0||||0"},
        NvidiaRow{"path_lacks_toolkit", [](Machine& m) { m.cudaPath = R"(D:\Tools & <b> "x'\CUDA\v12.4)"; }, "path",
                  "1|0||||0"},
        NvidiaRow{"path_unset_goes_on", [](Machine& m) { m.path = nullptr; }, "", "1|1|cuda_12|12.4|86|2"},
        NvidiaRow{"toolkit_10_2", [](Machine& m) { m.cudaPath = R"(C:\CUDA\v10.2)", m.path = R"(c:\cuda\v10.2\bin)"; },
                  "", "1|0||||0"},
        NvidiaRow{"no_version_folder", [](Machine& m) { m.cudaPath = R"(C:\CUDA)", m.path = R"(C:\CUDA\bin)"; }, "", "1|0||||0"},
        NvidiaRow{"toolkit_13_bare_major",
                  [](Machine& m) {
                      m.cudaPath = R"(C:\CUDA\v13\)", m.path = R"(C:\CUDA\v13\bin)";
                      m.xml = "<cuda_version>13.0</cuda_version>";
                  },
                  "", "1|1|cuda_13|13|86|2"},
        NvidiaRow{"driver_12_2_too_old",
                  [](Machine& m) { m.xml = "<cuda_umd_version>12.2</cuda_umd_version><cuda_version>12.9</cuda_version>"; },
                  "driver", "1|0|cuda_12|12.4||0"},
        NvidiaRow{"driver_from_cuda_version",
                  [](Machine& m) { m.xml = "<cuda_version>12.2</cuda_version><cuda_umd_version></cuda_umd_version>"; },
                  "driver", "1|0|cuda_12|12.4||0"},
        NvidiaRow{"driver_version_missing", [](Machine& m) { m.xml = "<nvidia_smi_log/>"; }, "", "1|1|cuda_12|12.4|86|2"},
        NvidiaRow{"xml_command_fails", [](Machine& m) { m.xml = nullptr; }, "", "1|1|cuda_12|12.4|86|2"},
        NvidiaRow{"sm_86_cuda_11", [](Machine& m) { m.cudaPath = kCuda11, m.path = kCuda11Path; }, "",
                  "1|1|cuda_11|11.8|86|2"},
        NvidiaRow{"sm_30", [](Machine& m) { m.computeCap = "3.0\n"; }, "sm", "1|0|cuda_12|12.4|30|0"},
        NvidiaRow{"sm_100_cuda_11",
                  [](Machine& m) { m.cudaPath = kCuda11, m.path = kCuda11Path, m.computeCap = "10.0\n"; }, "sm",
                  "1|0|cuda_11|11.8|100|0"},
        NvidiaRow{"sm_95_no_row", [](Machine& m) { m.computeCap = " 9.5 \n8.6\n"; }, "", "1|1|cuda_12|12.4|95|2"},
        NvidiaRow{"sm_query_fails", [](Machine& m) { m.computeCap = nullptr; }, "", "1|1|cuda_12|12.4||2"},
        NvidiaRow{"no_devices_found", [](Machine& m) { m.count = "No devices were found\n"; }, "unavailable",
                  "1|0|cuda_12|12.4|86|0"},
        NvidiaRow{"count_overflows", [](Machine& m) { m.count = "99999999999\n"; }, "unavailable", "1|0|cuda_12|12.4|86|0"},
        NvidiaRow{"count_query_fails", [](Machine& m) { m.count = nullptr; }, "unavailable", "1|0|cuda_12|12.4|86|0"},
        NvidiaRow{"count_zero_still_installed", [](Machine& m) { m.count = "0\n"; }, "", "1|1|cuda_12|12.4|86|0"}),
    [](const testing::TestParamInfo<NvidiaRow>& info) { return std::string(info.param.name); });

TEST(NvidiaProbe, ComputeCapabilityBoundaries) {
    // SM -> supported by CUDA 11, 12, 13.
    const std::map<int, std::array<bool, 3>> table = {
        {34, {0, 0, 0}}, {35, {1, 0, 0}}, {37, {1, 0, 0}}, {38, {1, 1, 1}}, {50, {1, 1, 0}},
        {72, {1, 1, 0}}, {75, {1, 1, 1}}, {89, {1, 1, 1}}, {90, {1, 1, 1}}, {91, {1, 1, 1}},
        {99, {1, 1, 1}}, {100, {0, 1, 1}}, {121, {0, 1, 1}}, {122, {1, 1, 1}},
    };
    const char* apis[] = {"cuda_11", "cuda_12", "cuda_13"};
    for (const auto& [sm, expected] : table) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(qzai::cudaSupportsComputeCapability(std::to_string(sm), apis[i]), expected[i]) << sm << apis[i];
        }
    }
    for (const char* sm : {"", "abc", "99999999999"}) EXPECT_TRUE(qzai::cudaSupportsComputeCapability(sm, "cuda_12"));
    EXPECT_TRUE(qzai::cudaSupportsComputeCapability("30", "cuda_10"));
}

TEST(NvidiaProbe, UnreadableDeviceIsReportedAndSkipped) {
    qz::test::FakeRoot root;
    root.pciDevice("0000:00:01.0", "");  // no vendor file
    root.pciDevice("0000:01:00.0", "0x10DE");
    qz::test::FakeRunner runner;
    qz::test::ConsoleLines console;
    qzai::MessagingManager messages;
    qzai::NvidiaChipStatus record;
    qzai::checkNvidiaWindows(record, messages, qz::test::fakeServices(runner, root, console), qz::test::testConfig());
    EXPECT_EQ(console.err, "RegEnumKeyExA failed at index 0, status=2\n");
    EXPECT_EQ(console.out, "Found NVIDIA device key: VEN_10DE&DEV_1234&SUBSYS_00000000&REV_00\n");
    EXPECT_EQ(runner.calls(), std::vector<std::string>{"nvidia-smi"});
}

TEST(NvidiaProbe, TensorRtRegistration) {
    struct Row {
        CpuArchitecture arch;
        const char* osName;
        const char* osVersion;
        bool enabled;
        const char* api;
        const char* trt;
        const char* address;  // after ".../NVIDIA_TRT/"; "" = not registered
    };
    const Row rows[] = {
        {CpuArchitecture::Aarch64Jetson, "Linux", "5.15.0", true, "cuda_12", "10.3",
         "aarch64-jetson/Linux/22.04/library-trt10.3-cuda_12.tar.gz"},
        {CpuArchitecture::Aarch64Sbsa, "Linux", "6.8.0", true, "cuda_13", "10.9",
         "aarch64-sbsa/Linux/24.04/library-trt10.9-cuda_13.tar.gz"},
        {CpuArchitecture::X86_64, "Ubuntu", "22.04", true, "cuda_12", "10.3",
         "x86_64/Ubuntu/22.04/library-trt10.3-cuda_12.tar.gz"},
        {CpuArchitecture::Aarch64Jetson, "Linux", "", false, "cuda_12", "10.3", ""},
        {CpuArchitecture::Aarch64Jetson, "Linux", "", true, "cuda_11", "10.3", ""},
        {CpuArchitecture::X86_64, "Windows", "10.0.22631", true, "cuda_12", "10.3", ""},
        {CpuArchitecture::Aarch64Jetson, "Linux", "", true, "cuda_12", "", ""},  // skipped with a line
    };
    for (const auto& r : rows) {
        auto config = qz::test::testConfig();
        config.enableNvidiaTRTIntegration = r.enabled;
        qzai::NvidiaChipStatus record(r.arch);
        record.correctlyInstalled = true;
        record.apiVersion = r.api;
        record.computeCapability = "87";
        record.tensorRtVersion = r.trt;
        qz::test::LogCapture log;
        qzai::registerNvidiaRuntimes(record, r.osName, r.osVersion, config);
        EXPECT_EQ(record.runtimes.count("NVIDIA"), 1u) << r.address;
        EXPECT_EQ(log.contains("TRT runtime skipped: SM or TRT version could not be determined.\n"), !*r.trt);
        EXPECT_EQ(record.runtimes.count("NVIDIA TensorRT"), *r.address ? 1u : 0u) << r.api << r.osName;
        if (!*r.address) continue;
        const auto& trt = record.runtimes.at("NVIDIA TensorRT");
        EXPECT_EQ(trt.downloadUrl, std::string("https://repo.test/PELM/runtimes/2.0.0/NVIDIA_TRT/") + r.address);
        EXPECT_EQ(trt.mimeTypes, std::vector<std::string>{"application/x-tensorrt; arch=" +
                                                          std::string(qzai::architectureName(r.arch)) +
                                                          "; sm=87; trt=" + r.trt});
    }
}

}  // namespace
