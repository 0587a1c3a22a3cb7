// Feeds arbitrary tool output and file contents to the readers the runtime
// probes use, and checks the properties they promise: no crash, no exception,
// version comparison is an order, and the DEEPX version scanner agrees with a
// regular expression of the same language.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "platform/pci_devices.h"
#include "runtimes/family_probes.h"
#include "runtimes/machine_info.h"
#include "runtimes/nvidia_probe.h"
#include "runtimes/version_utils.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void versionProperties(std::string_view a, std::string_view b) {
    check(qzai::compareVersions(a, a) == 0);
    const int ab = qzai::compareVersions(a, b);
    check(ab >= -1 && ab <= 1);
    check(ab == -qzai::compareVersions(b, a));
    const auto tried = qzai::tryCompareVersions(a, b);
    const auto triedBack = qzai::tryCompareVersions(b, a);
    check(tried.has_value() == triedBack.has_value());
    if (tried) {
        check(*tried == ab);
        check(*tried == -*triedBack);
    }
    (void)qzai::compareCudaVersions(a, b);
    (void)qzai::truncateToMajorMinor(a);
}

void deepxAgreesWithRegex(std::string_view text) {
    static const std::regex pattern("DXRT v([0-9]+)\\.([0-9]+)\\.([0-9]+)");
    const auto scanned = qzai::findDeepxDriverVersion(text);
    std::match_results<std::string_view::const_iterator> match;
    const bool found = std::regex_search(text.begin(), text.end(), match, pattern);
    check(found == scanned.has_value());
    if (found) check(*scanned == match[1].str() + "." + match[2].str() + "." + match[3].str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    (void)qzai::getCudaVersionFromSmiXml(text);
    (void)qzai::extractXmlElementText(text, "cuda_version");
    const std::string sm = qzai::computeCapabilityFromOutput(text);
    for (const char* api : {"cuda_11", "cuda_12", "cuda_13", "cuda_x"}) (void)qzai::cudaSupportsComputeCapability(sm, api);
    const auto count = qzai::gpuCountFromOutput(text);
    check(!count || *count >= 0);
    const std::string cuda = qzai::cudaVersionFromPath(text);
    check(cuda.find_first_of("\\/") == std::string::npos);
    (void)qzai::parseSysfsHex(text);
    const std::string release = qzai::osVersionFromRelease(text);
    check(release == "Unknown" || release.find_first_not_of("0123456789.") == std::string::npos);

    const size_t split = text.find('|');
    const std::string_view all(text);
    versionProperties(all.substr(0, split), split == std::string::npos ? std::string_view() : all.substr(split + 1));

    if (size <= 256) {
        deepxAgreesWithRegex(text);
    } else {
        (void)qzai::findDeepxDriverVersion(text);
    }
    return 0;
}
