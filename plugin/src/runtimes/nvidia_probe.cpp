#include "runtimes/nvidia_probe.h"

#include <cctype>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "common/text_utils.h"
#include "platform/pci_devices.h"
#include "runtimes/version_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// The buffers the values are read into hold this many characters with the terminator.
constexpr size_t kCudaPathCapacity = 1024;
constexpr size_t kPathCapacity = 32767;

const std::vector<std::string> kSmi = {"nvidia-smi"};
const std::vector<std::string> kSmiXml = {"nvidia-smi", "-q", "-x"};
const std::vector<std::string> kSmiComputeCap = {"nvidia-smi", "--query-gpu=compute_cap", "--format=csv,noheader"};
const std::vector<std::string> kSmiCount = {"nvidia-smi", "--query-gpu=count", "--format=csv,noheader"};

struct ComputeCapabilityRow {
    int smFrom, smTo, cudaFrom, cudaTo;  // cudaTo 0: no upper limit
};
constexpr ComputeCapabilityRow kComputeCapabilityRows[] = {
    {35, 37, 11, 11}, {50, 72, 11, 12}, {75, 89, 11, 0}, {90, 90, 11, 0}, {100, 121, 12, 0},
};

std::string toLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

void notice(MessagingManager& messages, const std::string& text) {
    messages.addMessage(kNvidiaNoticeId, text, MessagingManager::MessageType::Info);
}

// Steps 2 and 3: a PCI device of vendor 0x10DE.
bool findNvidiaDevice(const PlatformServices& services) {
    const PciDeviceListing listing = listPciDevices(services.systemRoot);
    if (listing.openError != 0) {
        services.print(ConsoleStream::Err,
                       "Failed to open PCI registry key, status=" + std::to_string(listing.openError) + "\n");
        logMessage("NVIDIA GPU not found.\n");
        return false;
    }
    for (size_t index = 0; index < listing.entries.size(); ++index) {
        const PciDeviceEntry& entry = listing.entries[index];
        if (entry.error != 0) {
            services.print(ConsoleStream::Err, "RegEnumKeyExA failed at index " + std::to_string(index) +
                                                   ", status=" + std::to_string(entry.error) + "\n");
            continue;
        }
        if (entry.name.size() >= 8 && equalsIgnoringAsciiCase(std::string_view(entry.name).substr(0, 8), "VEN_10DE")) {
            services.print(ConsoleStream::Out, "Found NVIDIA device key: " + entry.name + "\n");
            return true;
        }
    }
    services.print(ConsoleStream::Out, "No NVIDIA PCI device (VEN_10DE) found in registry.\n");
    logMessage("NVIDIA GPU not found.\n");
    return false;
}

}  // namespace

std::string buildNvidiaSupportLink(const std::string& documentationBase) {
    return makeHtmlLink(documentationBase + runtimeDocumentationPath(kRuntimeNvidia) + "#x86_64-windows",
                        "documentation");
}

std::string nvidiaUnavailableNotice(const std::string& documentationBase) {
    return "NVIDIA GPU acceleration is unavailable on this machine. A different compatible runtime will be used if "
           "available. To enable NVIDIA acceleration, follow the setup instructions in the " +
           buildNvidiaSupportLink(documentationBase);
}

std::string nvidiaPathNotice(const std::string& cudaPath, const std::string& documentationBase) {
    // The notice is HTML (it carries an anchor), so the path goes in escaped.
    return "The CUDA Toolkit path is not in the PATH environment variable. Please add '" + escapeHtml(cudaPath) +
           "\\bin' to the PATH environment variable and restart the server. For more information, follow the "
           "instructions in the " +
           buildNvidiaSupportLink(documentationBase);
}

std::string nvidiaDriverNotice(const std::string& toolkitVersion, const std::string& driverCudaVersion) {
    return "Your installed CUDA Toolkit (" + toolkitVersion + ") is newer than what your NVIDIA driver supports (up to CUDA " +
           driverCudaVersion +
           "). Please update your NVIDIA driver or install a CUDA Toolkit version it supports. See " +
           makeHtmlLink(kCudaCompatibilityPage, "") + " for details on CUDA Toolkit and driver compatibility.";
}

std::string nvidiaComputeCapabilityNotice(const std::string& apiVersion) {
    return "Your GPU's compute capability is not compatible with the installed CUDA Toolkit (" + apiVersion +
           "). Please install a CUDA Toolkit version supported by your GPU. See " + makeHtmlLink(kCudaGpuListPage, "") +
           " for the supported compute capabilities per CUDA version.";
}

void probeNvidiaChip(NvidiaChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                     const std::string& osVersion, MessagingManager& messages, const PlatformServices& services,
                     const RuntimesConfig& config) {
    record = NvidiaChipStatus(architecture);
    record.chipName = "NVIDIA";
    logMessage("Checking for supported Nvidia chips\n");
    if (architecture == CpuArchitecture::X86_64) {
        checkNvidiaWindows(record, messages, services, config);
    } else if (architecture != CpuArchitecture::Aarch64) {
        return;
    }
    registerNvidiaRuntimes(record, osName, osVersion, config);
}

void registerNvidiaRuntimes(NvidiaChipStatus& record, const std::string& osName, const std::string& osVersion,
                            const RuntimesConfig& config) {
    if (!record.correctlyInstalled) return;
    registerRuntime(record, kRuntimeNvidia, "NVIDIA_ORT", osName, "", record.apiVersion, "application/x-onnx",
                    config);
    if (!config.enableNvidiaTRTIntegration || record.apiVersion == "cuda_11") return;
    std::string osToken;
    if (record.cpuArchitecture == CpuArchitecture::Aarch64Jetson) {
        osToken = "22.04";
    } else if (record.cpuArchitecture == CpuArchitecture::Aarch64Sbsa) {
        osToken = "24.04";
    } else if (osName == "Ubuntu" && osVersion == "22.04") {
        osToken = "22.04";
    } else {
        return;
    }
    if (record.computeCapability.empty() || record.tensorRtVersion.empty()) {
        logMessage("TRT runtime skipped: SM or TRT version could not be determined.\n");
        return;
    }
    registerRuntime(record, kRuntimeNvidiaTensorRt, "NVIDIA_TRT", osName, osToken,
                    "trt" + record.tensorRtVersion + "-" + record.apiVersion,
                    std::string("application/x-tensorrt; arch=") + architectureName(record.cpuArchitecture) +
                        "; sm=" + record.computeCapability + "; trt=" + record.tensorRtVersion,
                    config);
}

void checkNvidiaWindows(NvidiaChipStatus& record, MessagingManager& messages, const PlatformServices& services,
                        const RuntimesConfig& config) {
    record.chipDetected = false;
    record.correctlyInstalled = false;
    if (!findNvidiaDevice(services)) return;

    if (services.run(kSmi).exitCode != 0) {
        logMessage("nvidia-smi not found or not working properly.\n");
        logMessage("Please install the NVIDIA GPU drivers from %s\n", kNvidiaDriverPage);
        notice(messages, nvidiaUnavailableNotice(config.documentationBase));
        return;
    }
    record.chipDetected = true;

    const auto cudaPath = services.environment.get("CUDA_PATH");
    if (!cudaPath || cudaPath->empty() || cudaPath->size() >= kCudaPathCapacity) {
        logMessage("CUDA_PATH environment variable not found. CUDA Toolkit may not be installed.\n");
        logMessage("Please install the CUDA Toolkit compatible with your NVIDIA driver.\n");
        logMessage("You can download and install the CUDA Toolkit from the NVIDIA CUDA Toolkit archive.\n");
        logMessage("Once the installation is complete, please restart the server.\n");
        notice(messages, nvidiaUnavailableNotice(config.documentationBase));
        return;
    }
    logMessage("Found CUDA_PATH: %s\n", cudaPath->c_str());

    const auto path = services.environment.get("PATH");
    if (!path || path->empty() || path->size() >= kPathCapacity) {
        logMessage("Failed to read the PATH environment variable.\n");
    } else if (toLower(*path).find(toLower(*cudaPath)) != std::string::npos) {
        logMessage("CUDA Toolkit path found in PATH environment variable.\n");
    } else {
        logMessage("CUDA Toolkit path '%s' is not in the PATH environment variable.\n", cudaPath->c_str());
        notice(messages, nvidiaPathNotice(*cudaPath, config.documentationBase));
        return;
    }

    const std::string version = cudaVersionFromPath(*cudaPath);
    const std::string major = version.substr(0, 2);
    if (version.size() < 2 || (major != "13" && major != "12" && major != "11")) {
        logMessage("CUDA version '%s' not supported (only 11, 12, or 13 are supported).\n", version.c_str());
        return;
    }
    record.apiVersion = "cuda_" + major;
    record.cudaToolkitVersion = version;

    const CommandOutput xml = services.run(kSmiXml);
    const std::string driverCudaVersion = xml.exitCode == 0 ? getCudaVersionFromSmiXml(xml.output) : std::string();
    if (!checkCudaDriverCompatibility(record, messages, driverCudaVersion)) return;
    if (!checkComputeCapability(record, messages, services)) return;

    const CommandOutput count = services.run(kSmiCount);
    const auto gpus = count.exitCode == 0 ? gpuCountFromOutput(count.output) : std::nullopt;
    if (!gpus) {
        logMessage("The number of NVIDIA GPUs cannot be determined.\n");
        notice(messages, nvidiaUnavailableNotice(config.documentationBase));
        return;
    }
    record.numberOfChips = *gpus;
    record.correctlyInstalled = true;
}

bool checkCudaDriverCompatibility(NvidiaChipStatus& record, MessagingManager& messages,
                                  const std::string& driverCudaVersion) {
    if (compareCudaVersions(record.cudaToolkitVersion, driverCudaVersion)) return true;
    logMessage("Installed CUDA Toolkit (%s) exceeds the maximum CUDA version supported by the installed NVIDIA driver "
               "(%s).\n",
               record.cudaToolkitVersion.c_str(), driverCudaVersion.c_str());
    notice(messages, nvidiaDriverNotice(record.cudaToolkitVersion, driverCudaVersion));
    return false;
}

bool checkComputeCapability(NvidiaChipStatus& record, MessagingManager& messages, const PlatformServices& services) {
    record.computeCapability = queryGpuComputeCapability(services);
    if (cudaSupportsComputeCapability(record.computeCapability, record.apiVersion)) return true;
    logMessage("GPU compute capability (SM %s) is not compatible with the installed CUDA Toolkit (%s).\n",
               record.computeCapability.c_str(), record.apiVersion.c_str());
    notice(messages, nvidiaComputeCapabilityNotice(record.apiVersion));
    return false;
}

std::string queryGpuComputeCapability(const PlatformServices& services) {
    const CommandOutput result = services.run(kSmiComputeCap);
    if (result.exitCode != 0) return {};
    return computeCapabilityFromOutput(result.output);
}

std::string computeCapabilityFromOutput(std::string_view output) {
    std::string sm;
    for (const char c : output.substr(0, output.find('\n'))) {
        if (!std::isspace(static_cast<unsigned char>(c)) && c != '.') sm += c;
    }
    return sm;
}

std::optional<int> gpuCountFromOutput(std::string_view output) { return readLeadingDecimal(output); }

std::string cudaVersionFromPath(std::string_view cudaPath) {
    const size_t marker = cudaPath.find("\\v");
    if (marker == std::string_view::npos) return {};
    const std::string_view rest = cudaPath.substr(marker + 2);
    return std::string(rest.substr(0, rest.find_first_of("\\/")));
}

std::string getCudaVersionFromSmiXml(const std::string& xml) {
    std::string version = extractXmlElementText(xml, "cuda_umd_version");
    if (version.empty()) version = extractXmlElementText(xml, "cuda_version");
    return version;
}

std::string extractXmlElementText(std::string_view text, std::string_view name) {
    const std::string open = "<" + std::string(name) + ">";
    const std::string close = "</" + std::string(name) + ">";
    const size_t start = text.find(open);
    if (start == std::string_view::npos) return {};
    const size_t contentStart = start + open.size();
    const size_t end = text.find(close, contentStart);
    if (end == std::string_view::npos) return {};
    return std::string(text.substr(contentStart, end - contentStart));
}

bool cudaSupportsComputeCapability(const std::string& sm, const std::string& apiVersion) {
    const auto value = readLeadingDecimal(sm);
    int cudaMajor = 0;
    if (apiVersion == "cuda_11") {
        cudaMajor = 11;
    } else if (apiVersion == "cuda_12") {
        cudaMajor = 12;
    } else if (apiVersion == "cuda_13") {
        cudaMajor = 13;
    }
    if (!value || cudaMajor == 0) return true;
    if (*value < 35) return false;
    for (const auto& row : kComputeCapabilityRows) {
        if (*value < row.smFrom || *value > row.smTo) continue;
        if (cudaMajor < row.cudaFrom) return false;
        return row.cudaTo == 0 || cudaMajor <= row.cudaTo;
    }
    return true;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
