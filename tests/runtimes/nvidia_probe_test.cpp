#include <gtest/gtest.h>

#include "common/messaging_manager.h"
#include "common/support/log_capture.h"
#include "runtimes/nvidia_probe.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;

namespace {

constexpr const char* kCudaPath = R"(C:\Program Files\NVIDIA GPU Computing Toolkit\CUDA\v12.4)";
constexpr const char* kPathWithCuda =
    R"(c:\windows;c:\program files\nvidia gpu computing toolkit\cuda\v12.4\bin;c:\tools)";
constexpr const char* kXml128 =
    "<?xml version=\"1.0\"?><nvidia_smi_log><driver_version>570.1</driver_version>"
    "<cuda_version>12.8</cuda_version><cuda_umd_version></cuda_umd_version></nvidia_smi_log>";
constexpr const char* kLink =
    "<a href=\"https://docs.test/kelv/accelerators/nvidia_support#x86_64-windows\">documentation</a>";

enum class Notice { None, Unavailable, Path, Driver, ComputeCapability };

struct NvidiaRow {
    const char* name;
    bool nvidiaDevice = true;
    int smiExit = 0;  // -1: nvidia-smi cannot be started
    const char* cudaPath = kCudaPath;  // null: unset
    const char* path = kPathWithCuda;  // null: unset
    const char* xml = kXml128;         // null: "nvidia-smi -q -x" fails
    const char* computeCap = "8.6\n";  // null: the query fails
    const char* count = "2\n";         // null: the query fails
    // Outcome.
    Notice notice = Notice::None;
    bool chipDetected = true;
    bool installed = true;
    const char* apiVersion = "cuda_12";
    const char* toolkit = "12.4";
    const char* computeCapability = "86";
    int chips = 2;
};

void PrintTo(const NvidiaRow& r, std::ostream* os) { *os << r.name; }

NvidiaRow row(const char* name) { return NvidiaRow{name}; }
template <class F>
NvidiaRow row(const char* name, F change) {
    NvidiaRow r{name};
    change(r);
    return r;
}
void stopsBeforeVersion(NvidiaRow& r) { r.apiVersion = r.toolkit = r.computeCapability = "", r.chips = 0, r.installed = false; }
void stopsAfterVersion(NvidiaRow& r) { r.computeCapability = "", r.chips = 0, r.installed = false; }

class NvidiaDecisions : public testing::TestWithParam<NvidiaRow> {};

TEST_P(NvidiaDecisions, Outcome) {
    const NvidiaRow& r = GetParam();
    qz::test::FakeRoot root;
    root.pciDevice("0000:00:02.0", "0x8086", "0x46a6");
    if (r.nvidiaDevice) root.pciDevice("0000:01:00.0", "0x10de", "0x2204", "0x10de", "0x1471", "0xa1");
    qz::test::FakeRunner runner;
    if (r.smiExit >= 0) runner.answer("nvidia-smi", r.smiExit, "NVIDIA-SMI 570.1\n");
    if (r.xml) runner.answer("nvidia-smi -q -x", 0, r.xml);
    if (r.computeCap) runner.answer("nvidia-smi --query-gpu=compute_cap --format=csv,noheader", 0, r.computeCap);
    if (r.count) runner.answer("nvidia-smi --query-gpu=count --format=csv,noheader", 0, r.count);
    std::vector<std::string> environment = {"SYSTEMROOT=C:\\Windows"};
    if (r.cudaPath) environment.push_back(std::string("CUDA_PATH=") + r.cudaPath);
    if (r.path) environment.push_back(std::string("PATH=") + r.path);
    qz::test::ConsoleLines console;
    auto services = qz::test::fakeServices(runner, root, console, environment);
    services.commandTimeout = std::chrono::milliseconds(1234);
    qzai::MessagingManager messages;
    qz::test::LogCapture log;

    qzai::NvidiaChipStatus record;
    qzai::probeNvidiaChip(record, CpuArchitecture::X86_64, "Linux", "6.1.0", messages, services,
                          qz::test::testConfig());

    EXPECT_EQ(record.chipName, "NVIDIA");
    EXPECT_EQ(record.chipDetected, r.chipDetected);
    EXPECT_EQ(record.correctlyInstalled, r.installed);
    EXPECT_EQ(record.apiVersion, r.apiVersion);
    EXPECT_EQ(record.cudaToolkitVersion, r.toolkit);
    EXPECT_EQ(record.computeCapability, r.computeCapability);
    EXPECT_EQ(record.numberOfChips, r.chips);
    EXPECT_TRUE(record.tensorRtVersion.empty());
    if (r.installed) {
        ASSERT_EQ(record.runtimes.size(), 1u);
        EXPECT_EQ(record.runtimes["NVIDIA"].downloadUrl,
                  "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_ORT/x86_64/Linux/library-" +
                      std::string(r.apiVersion) + ".tar.gz");
        EXPECT_EQ(record.runtimes["NVIDIA"].mimeTypes, std::vector<std::string>{"application/x-onnx"});
    } else {
        EXPECT_TRUE(record.runtimes.empty());
    }

    const auto notices = messages.messages();
    if (r.notice == Notice::None) {
        EXPECT_TRUE(notices.empty());
    } else {
        ASSERT_EQ(notices.size(), 1u);
        const auto& message = notices.at("NVIDIA_GPU_SDK");
        EXPECT_EQ(message.type, qzai::MessagingManager::MessageType::Info);
        const std::string& text = message.text;
        switch (r.notice) {
            case Notice::Unavailable:
                EXPECT_EQ(text, std::string("NVIDIA GPU acceleration is unavailable on this machine. A different "
                                            "compatible runtime will be used if available. To enable NVIDIA "
                                            "acceleration, follow the setup instructions in the ") +
                                    kLink);
                break;
            case Notice::Path:  // the path is HTML-escaped inside the notice
                EXPECT_EQ(text, std::string("The CUDA Toolkit path is not in the PATH environment variable. Please "
                                            "add 'D:\\Tools &amp; &lt;b&gt; &quot;x&#39;\\CUDA\\v12.4\\bin' to the "
                                            "PATH environment variable and restart the server. For more "
                                            "information, follow the instructions in the ") +
                                    kLink);
                break;
            case Notice::Driver:
                EXPECT_EQ(text,
                          "Your installed CUDA Toolkit (12.4) is newer than what your NVIDIA driver supports (up to "
                          "CUDA 12.2). Please update your NVIDIA driver or install a CUDA Toolkit version it "
                          "supports. See <a href=\"https://docs.nvidia.com/deploy/cuda-compatibility/index.html\">"
                          "https://docs.nvidia.com/deploy/cuda-compatibility/index.html</a> for details on CUDA "
                          "Toolkit and driver compatibility.");
                break;
            case Notice::ComputeCapability:
                EXPECT_EQ(text,
                          "Your GPU's compute capability is not compatible with the installed CUDA Toolkit (" +
                              std::string(r.apiVersion) +
                              "). Please install a CUDA Toolkit version supported by your GPU. See <a "
                              "href=\"https://developer.nvidia.com/cuda-gpus\">https://developer.nvidia.com/"
                              "cuda-gpus</a> for the supported compute capabilities per CUDA version.");
                break;
            case Notice::None:
                break;
        }
    }
    // Every command ran with the configured time-out.
    for (const auto timeout : runner.timeouts()) EXPECT_EQ(timeout.count(), 1234);
    if (!r.nvidiaDevice) {
        EXPECT_TRUE(runner.calls().empty());
        EXPECT_EQ(console.out, "No NVIDIA PCI device (VEN_10DE) found in registry.\n");
        EXPECT_TRUE(log.contains("NVIDIA GPU not found.\n"));
    } else {
        EXPECT_EQ(console.out, "Found NVIDIA device key: VEN_10DE&DEV_2204&SUBSYS_147110DE&REV_A1\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NvidiaDecisions,
    testing::Values(
        row("everything_works"),
        row("no_nvidia_device", [](NvidiaRow& r) { r.nvidiaDevice = false, r.chipDetected = false, stopsBeforeVersion(r); }),
        row("smi_missing",
            [](NvidiaRow& r) { r.smiExit = -1, r.notice = Notice::Unavailable, r.chipDetected = false, stopsBeforeVersion(r); }),
        row("smi_exit_9",
            [](NvidiaRow& r) { r.smiExit = 9, r.notice = Notice::Unavailable, r.chipDetected = false, stopsBeforeVersion(r); }),
        row("cuda_path_unset", [](NvidiaRow& r) { r.cudaPath = nullptr, r.notice = Notice::Unavailable, stopsBeforeVersion(r); }),
        row("cuda_path_1024_chars",
            [](NvidiaRow& r) {
                static const std::string longPath = [] {
                    std::string p(kCudaPath);
                    p.resize(1024, 'x');
                    return p;
                }();
                r.cudaPath = longPath.c_str(), r.notice = Notice::Unavailable, stopsBeforeVersion(r);
            }),
        row("path_lacks_toolkit",
            [](NvidiaRow& r) {
                r.cudaPath = R"(D:\Tools & <b> "x'\CUDA\v12.4)", r.notice = Notice::Path, stopsBeforeVersion(r);
            }),
        row("path_unreadable_goes_on", [](NvidiaRow& r) { r.path = nullptr; }),
        row("toolkit_10_2", [](NvidiaRow& r) { r.cudaPath = R"(C:\CUDA\v10.2)", r.path = R"(c:\cuda\v10.2\bin)", stopsBeforeVersion(r); }),
        row("no_version_folder", [](NvidiaRow& r) { r.cudaPath = R"(C:\CUDA)", r.path = R"(C:\CUDA\bin)", stopsBeforeVersion(r); }),
        row("toolkit_13_bare_major",
            [](NvidiaRow& r) {
                r.cudaPath = R"(C:\CUDA\v13\)", r.path = R"(C:\CUDA\v13\bin)", r.xml = "<cuda_version>13.0</cuda_version>";
                r.apiVersion = "cuda_13", r.toolkit = "13";
            }),
        row("driver_12_2_too_old",
            [](NvidiaRow& r) { r.xml = "<cuda_umd_version>12.2</cuda_umd_version><cuda_version>12.9</cuda_version>", r.notice = Notice::Driver, stopsAfterVersion(r); }),
        row("driver_version_missing_passes", [](NvidiaRow& r) { r.xml = "<nvidia_smi_log/>"; }),
        row("xml_command_fails_passes", [](NvidiaRow& r) { r.xml = nullptr; }),
        row("sm_86_with_cuda_11",
            [](NvidiaRow& r) { r.cudaPath = R"(C:\CUDA\v11.8)", r.path = R"(C:\CUDA\v11.8\bin)", r.apiVersion = "cuda_11", r.toolkit = "11.8"; }),
        row("sm_30_fails",
            [](NvidiaRow& r) { r.computeCap = "3.0\n", r.notice = Notice::ComputeCapability, r.computeCapability = "30", r.chips = 0, r.installed = false; }),
        row("sm_100_with_cuda_11_fails",
            [](NvidiaRow& r) {
                r.cudaPath = R"(C:\CUDA\v11.8)", r.path = R"(C:\CUDA\v11.8\bin)", r.apiVersion = "cuda_11", r.toolkit = "11.8";
                r.computeCap = "10.0\n", r.notice = Notice::ComputeCapability, r.computeCapability = "100", r.chips = 0, r.installed = false;
            }),
        row("sm_95_no_row_passes", [](NvidiaRow& r) { r.computeCap = " 9.5 \n8.6\n", r.computeCapability = "95"; }),
        row("sm_query_fails_passes", [](NvidiaRow& r) { r.computeCap = nullptr, r.computeCapability = ""; }),
        row("no_devices_found",
            [](NvidiaRow& r) { r.count = "No devices were found\n", r.notice = Notice::Unavailable, r.chips = 0, r.installed = false; }),
        row("count_overflows",
            [](NvidiaRow& r) { r.count = "99999999999\n", r.notice = Notice::Unavailable, r.chips = 0, r.installed = false; }),
        row("count_query_fails",
            [](NvidiaRow& r) { r.count = nullptr, r.notice = Notice::Unavailable, r.chips = 0, r.installed = false; }),
        row("count_zero_still_installed", [](NvidiaRow& r) { r.count = "0\n", r.chips = 0; })),
    [](const testing::TestParamInfo<NvidiaRow>& info) { return std::string(info.param.name); });

TEST(NvidiaProbe, ComputeCapabilityBoundaries) {
    // SM -> supported by CUDA 11, 12, 13.
    const std::map<int, std::array<bool, 3>> table = {
        {34, {false, false, false}}, {35, {true, false, false}}, {37, {true, false, false}},
        {38, {true, true, true}},    {50, {true, true, false}},  {72, {true, true, false}},
        {75, {true, true, true}},    {89, {true, true, true}},   {90, {true, true, true}},
        {91, {true, true, true}},    {99, {true, true, true}},   {100, {false, true, true}},
        {121, {false, true, true}},  {122, {true, true, true}},
    };
    const char* apis[] = {"cuda_11", "cuda_12", "cuda_13"};
    for (const auto& [sm, expected] : table) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(qzai::cudaSupportsComputeCapability(std::to_string(sm), apis[i]), expected[i])
                << "SM " << sm << " " << apis[i];
        }
    }
    for (const auto& [sm, api] : std::vector<std::pair<std::string, std::string>>{
             {"", "cuda_11"}, {"abc", "cuda_11"}, {"30", "cuda_10"}, {"30", ""}, {"99999999999", "cuda_12"}}) {
        EXPECT_TRUE(qzai::cudaSupportsComputeCapability(sm, api)) << sm << " " << api;
    }
}

TEST(NvidiaProbe, PciListingProblems) {
    struct Row {
        const char* name;
        bool listingExists;
        bool unreadableFirst;
        std::string err;
        std::string out;
    };
    const Row rows[] = {
        {"no listing", false, false, "Failed to open PCI registry key, status=2\n", ""},
        {"unreadable device", true, true, "RegEnumKeyExA failed at index 0, status=2\n",
         "Found NVIDIA device key: VEN_10DE&DEV_1234&SUBSYS_00000000&REV_00\n"},
    };
    for (const auto& r : rows) {
        qz::test::FakeRoot root;
        if (r.listingExists) {
            root.pciDevice("0000:00:01.0", "");
            root.pciDevice("0000:01:00.0", "0x10DE");
        }
        qz::test::FakeRunner runner;
        qz::test::ConsoleLines console;
        const auto services = qz::test::fakeServices(runner, root, console);
        qzai::MessagingManager messages;
        qz::test::LogCapture log;
        qzai::NvidiaChipStatus record;
        qzai::checkNvidiaWindows(record, messages, services, qz::test::testConfig());
        EXPECT_EQ(console.err, r.err) << r.name;
        EXPECT_EQ(console.out, r.out) << r.name;
        EXPECT_EQ(log.contains("NVIDIA GPU not found.\n"), !r.listingExists) << r.name;
        EXPECT_EQ(runner.calls().size(), r.listingExists ? 1u : 0u) << r.name;  // nvidia-smi, which is missing
    }
}

TEST(NvidiaProbe, TensorRtRegistration) {
    struct Row {
        const char* name;
        CpuArchitecture arch;
        const char* osName;
        const char* osVersion;
        bool enabled;
        const char* api;
        const char* trt;
        const char* trtUrl;  // "" = not registered
        bool skippedLine;
    };
    const Row rows[] = {
        {"jetson", CpuArchitecture::Aarch64Jetson, "Linux", "5.15.0", true, "cuda_12", "10.3",
         "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_TRT/aarch64-jetson/Linux/22.04/library-trt10.3-cuda_12.tar.gz",
         false},
        {"sbsa", CpuArchitecture::Aarch64Sbsa, "Linux", "6.8.0", true, "cuda_13", "10.9",
         "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_TRT/aarch64-sbsa/Linux/24.04/library-trt10.9-cuda_13.tar.gz",
         false},
        {"ubuntu 22.04", CpuArchitecture::X86_64, "Ubuntu", "22.04", true, "cuda_12", "10.3",
         "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_TRT/x86_64/Ubuntu/22.04/library-trt10.3-cuda_12.tar.gz", false},
        {"switched off", CpuArchitecture::Aarch64Jetson, "Linux", "", false, "cuda_12", "10.3", "", false},
        {"cuda 11", CpuArchitecture::Aarch64Jetson, "Linux", "", true, "cuda_11", "10.3", "", false},
        {"windows", CpuArchitecture::X86_64, "Windows", "10.0.22631", true, "cuda_12", "10.3", "", false},
        {"no trt version", CpuArchitecture::Aarch64Jetson, "Linux", "", true, "cuda_12", "", "", true},
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
        EXPECT_EQ(record.runtimes.count("NVIDIA"), 1u) << r.name;
        EXPECT_EQ(log.contains("TRT runtime skipped: SM or TRT version could not be determined.\n"), r.skippedLine)
            << r.name;
        if (std::string(r.trtUrl).empty()) {
            EXPECT_EQ(record.runtimes.count("NVIDIA TensorRT"), 0u) << r.name;
            continue;
        }
        const auto& trt = record.runtimes.at("NVIDIA TensorRT");
        EXPECT_EQ(trt.downloadUrl, r.trtUrl) << r.name;
        EXPECT_EQ(trt.mimeTypes, std::vector<std::string>{"application/x-tensorrt; arch=" +
                                                          std::string(qzai::architectureName(r.arch)) +
                                                          "; sm=87; trt=" + r.trt})
            << r.name;
    }
}

TEST(NvidiaProbe, OnlyX86DetectsAndOnlyX86OrArmRegisters) {
    for (const auto arch : {CpuArchitecture::Aarch64, CpuArchitecture::Aarch64Jetson, CpuArchitecture::Unknown}) {
        qz::test::FakeRoot root;
        root.pciDevice("0000:01:00.0", "0x10de");
        qz::test::FakeRunner runner;
        qz::test::ConsoleLines console;
        const auto services = qz::test::fakeServices(runner, root, console);
        qzai::MessagingManager messages;
        qzai::NvidiaChipStatus record;
        record.correctlyInstalled = true;  // a fresh record replaces it
        qzai::probeNvidiaChip(record, arch, "Linux", "6.1.0", messages, services, qz::test::testConfig());
        EXPECT_EQ(record.cpuArchitecture, arch);
        EXPECT_FALSE(record.chipDetected);
        EXPECT_TRUE(record.runtimes.empty());
        EXPECT_TRUE(console.out.empty());
        EXPECT_TRUE(runner.calls().empty());
    }
}

}  // namespace
