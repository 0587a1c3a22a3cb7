#include <gtest/gtest.h>

#include "common/support/log_capture.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/support/fake_platform.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;

namespace {

struct AddressRow {
    const char* storage;
    const char* chip;
    CpuArchitecture arch;
    const char* osName;
    const char* osVersion;
    const char* driver;
    const char* expected;
};

class PackageAddress : public testing::TestWithParam<AddressRow> {};

TEST_P(PackageAddress, FollowsTheTemplate) {
    const auto& row = GetParam();
    auto config = qz::test::testConfig();
    config.RuntimesStorageURL = row.storage;
    const auto info = qzai::buildRuntimeDownloadUrl(row.chip, row.arch, row.osName, row.osVersion, row.driver, config);
    EXPECT_EQ(info.downloadUrl, row.expected);
    EXPECT_TRUE(info.mimeTypes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackageAddress,
    testing::Values(
        AddressRow{"", "CPU", CpuArchitecture::X86_64, "Windows", "", "",
                   "https://repo.test/PELM/runtimes/2.0.0/CPU/x86_64/Windows/library.tar.gz"},
        AddressRow{"", "NVIDIA_ORT", CpuArchitecture::X86_64, "Linux", "", "cuda_12",
                   "https://repo.test/PELM/runtimes/2.0.0/NVIDIA_ORT/x86_64/Linux/library-cuda_12.tar.gz"},
        AddressRow{"http://h/rt", "DEEPX", CpuArchitecture::Aarch64, "Linux", "6.1.0", "dxrt-v3.3.2",
                   "http://h/rt/DEEPX/aarch64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz"},
        AddressRow{"http://h/rt/", "DEEPX", CpuArchitecture::Aarch64, "Linux", "6.1.0", "dxrt-v3.3.2",
                   "http://h/rt/DEEPX/aarch64/Linux/6.1.0/library-dxrt-v3.3.2.tar.gz"},
        AddressRow{"http://h/", "X", static_cast<CpuArchitecture>(9), "", "", "", "http://h/X/UNKNOWN//library.tar.gz"},
        // Inserted text is not scanned again, whatever it holds.
        AddressRow{"http://h", "{cpu_arch}", CpuArchitecture::Aarch64Sbsa, "{os_name}", "v", "{chip_name}",
                   "http://h/{cpu_arch}/aarch64-sbsa/{os_name}/v/library-{chip_name}.tar.gz"}));

TEST(Catalogue, LookupsInAFamilyRecord) {
    qzai::ChipStatus record(CpuArchitecture::X86_64);
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
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Download link: http://a (mimetype: type/one)\n",
                               "ERROR: No supported mime types found for the runtime\n",
                               "Download link: http://c (mimetype: )\n",
                               "ERROR: Runtime Z not found 1\n",
                               "ERROR: No supported mime types found for the runtime\n",
                               "ERROR: Runtime Z not found 2\n",
                           }));

    using V = std::vector<std::string>;
    EXPECT_EQ(record.matchRuntimes(""), (V{"A", "B", "C"}));
    EXPECT_EQ(record.matchRuntimes("type/two"), (V{"A", "B"}));
    EXPECT_EQ(record.matchRuntimes("type/t"), V{});
}

TEST(Catalogue, StatusLineOnlyForADetectedChip) {
    qz::test::LogCapture log;
    qzai::ChipStatus record(CpuArchitecture::X86_64);
    record.chipName = "DEEPX";
    record.printChipStatus();
    record.chipDetected = true;
    record.numberOfChips = 2;
    record.apiVersion = "dxrt-v3.3.2";
    record.printChipStatus();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Chip name: DEEPX, Chip detected: 1, Correctly installed: 0, "
                                                    "Number of chips: 2, API version: dxrt-v3.3.2\n"});
}

TEST(Catalogue, RegistrationNeedsACorrectlyInstalledFamily) {
    const auto config = qz::test::testConfig();
    qzai::HailoChipStatus hailo(CpuArchitecture::Aarch64);
    hailo.apiVersion = "4.20";
    struct Row {
        bool installed;
        uint32_t generation;
        const char* mime;  // null: nothing registered
    };
    const Row rows[] = {{false, 1, nullptr}, {true, 1, "application/x-hailo8"}, {true, 2, "application/x-hailo8l"},
                        {true, 3, nullptr}, {true, 0, nullptr}};
    for (const auto& row : rows) {
        qz::test::LogCapture log;
        hailo.runtimes.clear();
        hailo.correctlyInstalled = row.installed;
        hailo.generation = row.generation;
        qzai::registerHailoRuntime(hailo, "Linux", config);
        if (!row.mime) {
            EXPECT_TRUE(hailo.runtimes.empty()) << row.generation;
            EXPECT_EQ(log.contains("ERROR: No supported mime types found for the runtime\n"), row.installed);
            continue;
        }
        ASSERT_EQ(hailo.runtimes.count("Hailo"), 1u);
        EXPECT_EQ(hailo.runtimes["Hailo"].mimeTypes, std::vector<std::string>{row.mime});
        EXPECT_EQ(hailo.runtimes["Hailo"].downloadUrl,
                  "https://repo.test/PELM/runtimes/2.0.0/HAILO/aarch64/Linux/library-4.20.tar.gz");
    }
}

TEST(Catalogue, DocumentationAddresses) {
    const auto links = qzai::runtimeDocumentationLinks("https://docs.test");
    EXPECT_EQ(links.size(), 13u);
    const std::map<std::string, std::string> withAddress = {
        {"Hailo", "https://docs.test/kelv/accelerators/hailo_support"},
        {"NVIDIA", "https://docs.test/kelv/accelerators/nvidia_support"},
        {"NVIDIA TensorRT", "https://docs.test/kelv/accelerators/nvidia_support"},
        {"DEEPX", "https://docs.test/kelv/accelerators/deepx_support"},
        {"Intel", "https://docs.test/kelv/accelerators/intel_support"},
        {"Native Intel INT8", "https://docs.test/kelv/accelerators/intel_support"},
    };
    for (const auto& [name, address] : links) {
        const auto it = withAddress.find(name);
        EXPECT_EQ(address, it == withAddress.end() ? "" : it->second) << name;
    }
}

}  // namespace
