#include "runtimes/family_probes.h"

#include <filesystem>

#include "common/log.h"
#include "runtimes/nvidia_probe.h"
#include "runtimes/version_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

bool detectsDrivers(CpuArchitecture architecture) {
    return architecture == CpuArchitecture::X86_64 || architecture == CpuArchitecture::Aarch64;
}

// Digits from pos; the index after them (pos when there are none).
size_t skipDigits(std::string_view text, size_t pos) {
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    return pos;
}

}  // namespace

void probeCpu(ChipStatus& record, CpuArchitecture architecture, const std::string& osName,
              const std::string& /*osVersion*/, const RuntimesConfig& config) {
    record = ChipStatus(architecture);
    record.chipName = "CPU";
    logMessage("Checking for supported CPU\n");
    record.chipDetected = true;
    record.correctlyInstalled = true;
    record.numberOfChips = 1;
    registerRuntime(record, kRuntimeGenericCpu, "CPU", osName, "", "", "application/x-onnx", config);
}

void probeIntelChip(ChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                    const std::string& /*osVersion*/, MessagingManager& /*messages*/, const RuntimesConfig& config) {
    record = ChipStatus(architecture);
    record.chipName = "INTEL";
    logMessage("Checking for supported Intel chips\n");
    if (architecture != CpuArchitecture::X86_64) return;
    record.chipDetected = true;
    record.correctlyInstalled = true;
    record.numberOfChips = 1;
    static const std::pair<const char*, const char*> kPrecisions[] = {{kRuntimeIntel, "fp32"}};
    for (const auto& [name, precision] : kPrecisions) {
        registerRuntime(record, name, "INTEL", osName, "", "",
                        std::string("application/zip; device=intel; precision=") + precision, config);
    }
}

void probeDeepxChip(ChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                    const std::string& osVersion, const PlatformServices& services, const RuntimesConfig& config) {
    record = ChipStatus(architecture);
    record.chipName = "DEEPX";
    logMessage("Checking for supported DEEPX chips\n");
    if (detectsDrivers(architecture)) checkDeepxDriver(record, services);
    if (!record.correctlyInstalled) return;
    registerRuntime(record, kRuntimeDeepx, "DEEPX", osName, osName == "Windows" ? std::string() : osVersion,
                    record.apiVersion, "application/x-dxnn", config);
}

void checkDeepxDriver(ChipStatus& record, const PlatformServices& services) {
    record.chipDetected = false;
    record.correctlyInstalled = false;
    if (services.run({"dxrt-cli", "--status"}).exitCode != 0) {
        logMessage("DEEPX driver not installed or there are no DEEPX chips detected.\n");
        return;
    }
    record.chipDetected = true;
    const CommandOutput info = services.run({"dxrt-cli", "-i"});
    if (info.exitCode != 0) {
        logMessage("DEEPX driver not detected.\n");
        return;
    }
    const auto version = findDeepxDriverVersion(info.output);
    if (!version) {
        logMessage("DEEPX driver version not detected.\n");
        return;
    }
    for (const auto& supported : kSupportedDeepxVersions) {
        if (compareVersions(*version, supported) == 0) {
            record.apiVersion = "dxrt-v" + supported;
            record.correctlyInstalled = true;
            return;
        }
    }
    logMessage("DEEPX driver version %s is not supported.\n", version->c_str());
}

std::optional<std::string> findDeepxDriverVersion(std::string_view text) {
    static constexpr std::string_view kMarker = "DXRT v";
    for (size_t at = text.find(kMarker); at != std::string_view::npos; at = text.find(kMarker, at + 1)) {
        const size_t start = at + kMarker.size();
        size_t pos = start;
        bool matched = true;
        for (int part = 0; part < 3 && matched; ++part) {
            if (part > 0) {
                if (pos >= text.size() || text[pos] != '.') {
                    matched = false;
                    break;
                }
                ++pos;
            }
            const size_t end = skipDigits(text, pos);
            matched = end > pos;
            pos = end;
        }
        if (matched) return std::string(text.substr(start, pos - start));
    }
    return std::nullopt;
}

void probeHailoChip(HailoChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                    const std::string& /*osVersion*/, const RuntimesConfig& config) {
    record = HailoChipStatus(architecture);
    record.chipName = "HAILO";
    record.generation = 0;
    logMessage("Checking for supported Hailo chips\n");
    // Nothing detects Hailo chips on this platform, so the flag stays clear.
    if (detectsDrivers(architecture) && record.correctlyInstalled) registerHailoRuntime(record, osName, config);
}

FamilyRecords probeAllFamilies(CpuArchitecture architecture, const std::string& osName, const std::string& osVersion,
                               MessagingManager& messages, const PlatformServices& services,
                               const RuntimesConfig& config) {
    FamilyRecords records;
    records.cpu = std::make_unique<ChipStatus>(architecture);
    probeCpu(*records.cpu, architecture, osName, osVersion, config);
    records.nvidia = std::make_unique<NvidiaChipStatus>(architecture);
    probeNvidiaChip(*records.nvidia, architecture, osName, osVersion, messages, services, config);
    records.deepx = std::make_unique<ChipStatus>(architecture);
    probeDeepxChip(*records.deepx, architecture, osName, osVersion, services, config);
    records.hailo = std::make_unique<HailoChipStatus>(architecture);
    probeHailoChip(*records.hailo, architecture, osName, osVersion, config);
    records.intel = std::make_unique<ChipStatus>(architecture);
    probeIntelChip(*records.intel, architecture, osName, osVersion, messages, config);
    return records;
}

std::string joinPath(const std::string& directory, const std::string& part, const std::string& more) {
    std::filesystem::path path(directory);
    if (!part.empty()) path /= part;
    if (!more.empty()) path /= more;
    return path.string();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
