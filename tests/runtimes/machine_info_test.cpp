#include <gtest/gtest.h>

#include "platform/pci_devices.h"
#include "runtimes/machine_info.h"
#include "runtimes/support/fake_platform.h"
#include "runtimes/version_utils.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::CpuArchitecture;

namespace {

TEST(MachineFacts, FromAFakeProcRoot) {
    struct Row {
        const char* release;  // "" = file missing
        const char* arch;     // "" = file missing
        const char* osVersion;
        CpuArchitecture architecture;
    };
    const Row rows[] = {
        {"5.15.0-91-generic", "x86_64", "5.15.0", CpuArchitecture::X86_64},
        {"6.18.44", "amd64", "6.18.44", CpuArchitecture::X86_64},
        {"6.1", "i686", "Unknown", CpuArchitecture::X86_64},
        {"", "i386", "Unknown", CpuArchitecture::X86_64},
        {"6.1.0.7", "aarch64", "6.1.0", CpuArchitecture::Aarch64},
        {"4.x.1", "arm64", "Unknown", CpuArchitecture::Aarch64},
        {"99999999999999999999999.1.1", "riscv64", "Unknown", CpuArchitecture::Unknown},
        {"-1.2.3", "i786", "Unknown", CpuArchitecture::Unknown},
        // Outside the real root a missing arch file is not filled in from uname.
        {"1.2.3", "", "1.2.3", CpuArchitecture::Unknown},
    };
    for (const auto& row : rows) {
        qz::test::FakeRoot root;
        root.kernel(row.release, row.arch);
        qz::test::FakeRunner runner;
        qz::test::ConsoleLines console;
        const qzai::MachineInfo info(qz::test::fakeServices(runner, root, console));
        EXPECT_EQ(info.osName(), "Linux");
        EXPECT_EQ(info.osVersion(), row.osVersion) << row.release;
        EXPECT_EQ(info.cpuArchitecture(), row.architecture) << row.arch;
    }
}

TEST(MachineChecks, Avx2NeedsTheProcessorAndTheOperatingSystem) {
    struct Row {
        const char* name;
        uint32_t maxLeaf;
        bool osxsave;
        uint64_t xcr0;
        bool avx2Bit;
        bool expected;
    };
    const Row rows[] = {
        {"all set", 7, true, 0x7, true, true},
        {"highest leaf 6", 6, true, 0x7, true, false},
        {"OSXSAVE clear", 7, false, 0x7, true, false},
        {"XCR0 bit 2 clear", 7, true, 0x3, true, false},
        {"XCR0 bit 1 clear", 7, true, 0x5, true, false},
        {"no AVX2 bit", 13, true, 0x7, false, false},
    };
    for (const auto& row : rows) {
        qzai::PlatformServices services;
        services.cpuid = [&](uint32_t leaf, uint32_t, qzai::CpuidRegisters& r) {
            r = {};
            if (leaf > row.maxLeaf) return false;
            if (leaf == 0) r.eax = row.maxLeaf;
            if (leaf == 1 && row.osxsave) r.ecx = 1u << 27;
            if (leaf == 7 && row.avx2Bit) r.ebx = 1u << 5;
            return true;
        };
        services.xgetbv = [&](uint32_t) { return std::optional<uint64_t>(row.xcr0); };
        EXPECT_EQ(qzai::hasAvx2(services), row.expected) << row.name;
    }
}

TEST(VersionUtils, ComparisonsAndNumberReading) {
    struct Row {
        const char* a;
        const char* b;
        int compare;
        bool cudaOk;  // compareCudaVersions(a, b)
    };
    const Row rows[] = {
        {"12.4", "12.2", 1, false},
        {"12.2", "12.8", -1, true},
        {"12", "12.0", 0, true},
        {"12.4.9", "12.4.1", 1, true},  // only major.minor counts for CUDA
        {"12.4", "", 1, true},
        {"", "12.4", -1, true},
        {"3.3.10", "3.3.2", 1, true},
        {"13.0", "12.9", 1, false},
        {"abc", "12.0", -1, true},                 // not a number: compared as 0, accepted for CUDA
        {"99999999999.0", "12.0", -1, true},       // overflow is not a number, never an exception
        {"12.x", "12.1", -1, true},
        {"11.8beta", "12.0", -1, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(qzai::compareVersions(row.a, row.b), row.compare) << row.a << " vs " << row.b;
        EXPECT_EQ(qzai::compareVersions(row.b, row.a), -row.compare) << row.b << " vs " << row.a;
        EXPECT_EQ(qzai::compareCudaVersions(row.a, row.b), row.cudaOk) << row.a << " vs " << row.b;
    }
    EXPECT_EQ(qzai::truncateToMajorMinor("12.4.1"), "12.4");
    EXPECT_EQ(qzai::truncateToMajorMinor("12"), "12");
    EXPECT_EQ(qzai::readLeadingDecimal("2\n"), 2);
    EXPECT_EQ(qzai::readLeadingDecimal("2147483648"), std::nullopt);
    EXPECT_EQ(qzai::readLeadingDecimal("No devices were found"), std::nullopt);
    EXPECT_EQ(qzai::readLeadingDecimal("-1"), std::nullopt);
}

TEST(PciDevices, KeyNamesFromSysfs) {
    qz::test::FakeRoot root;
    root.pciDevice("0000:01:00.0", "0x10de", "0x2204", "0x10de", "0x1471", "0xa1");
    root.pciDevice("0000:00:02.0", "0x8086", "0x46a6");
    root.pciDevice("0000:00:1f.3", "");        // vendor file missing
    root.pciDevice("0000:00:1f.4", "0xzz12");  // not hex
    const auto listing = qzai::listPciDevices(root.path());
    EXPECT_EQ(listing.openError, 0);
    ASSERT_EQ(listing.entries.size(), 4u);
    EXPECT_EQ(listing.entries[0].name, "VEN_8086&DEV_46A6&SUBSYS_00000000&REV_00");
    EXPECT_EQ(listing.entries[1].error, ENOENT);
    EXPECT_EQ(listing.entries[2].error, EINVAL);
    EXPECT_EQ(listing.entries[3].name, "VEN_10DE&DEV_2204&SUBSYS_147110DE&REV_A1");

    EXPECT_EQ(qzai::listPciDevices(root.path() + "/missing").openError, ENOENT);

    EXPECT_EQ(qzai::parseSysfsHex("0x10de\n"), 0x10deu);
    EXPECT_EQ(qzai::parseSysfsHex("FFFFFFFF"), 0xffffffffu);
    for (const char* bad : {"", "0x", "0x123456789", "0x-1", " 0x1"}) EXPECT_EQ(qzai::parseSysfsHex(bad), std::nullopt);
}

}  // namespace
