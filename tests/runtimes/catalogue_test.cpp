#include <gtest/gtest.h>

#include "common/support/log_capture.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;

namespace {

TEST(Catalogue, PackageAddresses) {
    struct Row {
        const char* storage;
        const char* chip;
        CpuArchitecture arch;
        const char* osName;
        const char* osVersion;
        const char* driver;
        const char* expected;
    };
    const Row rows[] = {
        {"", "CPU", CpuArchitecture::X86_64, "Windows", "", "",
         "https://repo.test/PELM/runtimes/2.0.0/CPU/x86_64/Windows/library.tar.gz"},
        {"", "NVIDIA_ORT", CpuArchitecture::X86_64, "Linux", "", "cuda_12",
         "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_ORT/x86_64/Linux/library-cuda_12.tar.gz"},
        {"http://h/rt", "DEEPX", CpuArchitecture::Aarch64, "Linux", "6.1.0", "dxrt-v3.3.2",
         "http://h/rt/DEEPX/aarch64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz"},
        {"http://h/rt/", "DEEPX", CpuArchitecture::Aarch64, "Linux", "6.1.0", "dxrt-v3.3.2",
         "http://h/rt/DEEPX/aarch64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz"},
        {"http://h/", "X", static_cast<CpuArchitecture>(9), "", "", "", "http://h/X/UNKNOWN//library.tar.gz"},
        // Inserted text is not scanned again, whatever it holds.
        {"http://h", "{cpu_arch}", CpuArchitecture::Aarch64Sbsa, "{os_name}", "v", "{chip_name}",
         "http://h/{cpu_arch}/aarch64-sbsa/{os_name}/v/library-{chip_name}.tar.gz"},
    };
    for (const auto& row : rows) {
        auto config = qz::test::testConfig();
        config.RuntimesStorageURL = row.storage;
        const auto info = qzai::buildRuntimeDownloadUrl(row.chip, row.arch, row.osName, row.osVersion, row.driver, config);
        EXPECT_EQ(info.downloadUrl, row.expected);
        EXPECT_TRUE(info.mimeTypes.empty());
    }
}

TEST(Catalogue, LookupsInAFamilyRecord) {
    qzai::ChipStatus record(CpuArchitecture::X86_64);
    record.chipName = "DEEPX";
    record.runtimes["A"] = {"http://a", {"type/one", "type/two"}};
    record.runtimes["B"] = {"http://b", {"type/two"}};
    record.runtimes["C"] = {"http://c", {}};

    qz::test::LogCapture log;
    EXPECT_EQ(record.getRuntimeDownloadLink("A"), "http://a");
    EXPECT_EQ(record.getRuntimeDownloadLink("C"), "http://c");
    EXPECT_EQ(record.getRuntimeDownloadLink("Z"), "");
    EXPECT_EQ(record.getRuntimeMimeType("A"), "type/one");
    EXPECT_EQ(record.getRuntimeMimeType("C"), "");
    EXPECT_EQ(record.getRuntimeMimeType("Z"), "");
    record.printChipStatus();  // nothing: no chip detected
    record.chipDetected = true;
    record.numberOfChips = 2;
    record.apiVersion = "dxrt-v3.3.2";
    record.printChipStatus();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Download link: http://a (mimetype: type/one)\n",
                               "ERROR: No supported mime types found for the runtime\n",
                               "Download link: http://c (mimetype: )\n",
                               "ERROR: Runtime Z not found 1\n",
                               "ERROR: No supported mime types found for the runtime\n",
                               "ERROR: Runtime Z not found 2\n",
                               "Chip name: DEEPX, Chip detected: 1, Correctly installed: 0, Number of chips: 2, "
                               "API version: dxrt-v3.3.2\n",
                           }));
    using V = std::vector<std::string>;
    EXPECT_EQ(record.matchRuntimes(""), (V{"A", "B", "C"}));
    EXPECT_EQ(record.matchRuntimes("type/two"), (V{"A", "B"}));
    EXPECT_EQ(record.matchRuntimes("type/t"), V{});
}

TEST(Catalogue, HailoRegistrationByGeneration) {
    struct Row {
        bool installed;
        uint32_t generation;
        const char* record;
        bool errorLine;
    };
    const Row rows[] = {
        {false, 1, "HAILO 00 n=0 api=4.20", false},
        {true, 1, "HAILO 01 n=0 api=4.20 [Hailo: HAILO/aarch64/Linux/library-4.20.tar.gz | application/x-hailo8]", false},
        {true, 2, "HAILO 01 n=0 api=4.20 [Hailo: HAILO/aarch64/Linux/library-4.20.tar.gz | application/x-hailo8l]", false},
        {true, 3, "HAILO 01 n=0 api=4.20", true},
        {true, 0, "HAILO 01 n=0 api=4.20", true},
    };
    for (const auto& row : rows) {
        qz::test::LogCapture log;
        qzai::HailoChipStatus hailo(CpuArchitecture::Aarch64);
        hailo.chipName = "HAILO";
        hailo.apiVersion = "4.20";
        hailo.correctlyInstalled = row.installed;
        hailo.generation = row.generation;
        qzai::registerHailoRuntime(hailo, "Linux", qz::test::testConfig());
        EXPECT_EQ(qz::test::describe(hailo), row.record);
        EXPECT_EQ(log.contains("ERROR: No supported mime types found for the runtime\n"), row.errorLine);
    }
}

TEST(Catalogue, DocumentationAddresses) {
    const std::string nvidia = "https://docs.test/kelv/accelerators/nvidia_support";
    const std::string intel = "https://docs.test/kelv/accelerators/intel_support";
    const std::unordered_map<std::string, std::string> expected = {
        {"Generic CPU", ""}, {"Hailo", "https://docs.test/kelv/accelerators/hailo_support"}, {"NVIDIA", nvidia},
        {"NVIDIA TensorRT", nvidia}, {"Qualcomm", ""}, {"MemryX", ""},
        {"DEEPX", "https://docs.test/kelv/accelerators/deepx_support"}, {"Axelera", ""}, {"SiMa", ""},
        {"EdgeCortix", ""}, {"Ambarella CV75", ""}, {"Intel", intel}, {"Native Intel INT8", intel}};
    EXPECT_EQ(qzai::runtimeDocumentationLinks("https://docs.test"), expected);
}

}  // namespace
