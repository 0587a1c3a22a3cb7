// The runtime catalogue: runtime display names, the family records the probes
// fill (ChipStatus and its Hailo and NVIDIA forms), package addresses and the
// lookups made in a family record.
//
// Records are plain values owned by the runtimes manager; they are filled by
// one probe on one thread and only read afterwards. The lookups log through
// the plug-in log. Nothing here talks to the machine.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/cpu_architecture.h"
#include "runtimes/runtimes_platform.h"

namespace qz::vms_server_plugins::analytics::qzai {

// Runtime display names: also the keys of every runtime map, the name stored
// in "installed_runtime.txt" and the package file's name.
inline constexpr const char* kRuntimeGenericCpu = "Generic CPU";
inline constexpr const char* kRuntimeHailo = "Hailo";
inline constexpr const char* kRuntimeNvidia = "NVIDIA";
inline constexpr const char* kRuntimeNvidiaTensorRt = "NVIDIA TensorRT";
inline constexpr const char* kRuntimeQualcomm = "Qualcomm";
inline constexpr const char* kRuntimeMemryX = "MemryX";
inline constexpr const char* kRuntimeDeepx = "DEEPX";
inline constexpr const char* kRuntimeAxelera = "Axelera";
inline constexpr const char* kRuntimeSima = "SiMa";
inline constexpr const char* kRuntimeEdgeCortix = "EdgeCortix";
inline constexpr const char* kRuntimeAmbarellaCv75 = "Ambarella CV75";
inline constexpr const char* kRuntimeIntel = "Intel";
inline constexpr const char* kRuntimeNativeIntelInt8 = "Native Intel INT8";

inline constexpr std::array<const char*, 13> kRuntimeDisplayNames = {
    kRuntimeGenericCpu, kRuntimeHailo,      kRuntimeNvidia,        kRuntimeNvidiaTensorRt, kRuntimeQualcomm,
    kRuntimeMemryX,     kRuntimeDeepx,      kRuntimeAxelera,       kRuntimeSima,           kRuntimeEdgeCortix,
    kRuntimeAmbarellaCv75, kRuntimeIntel,   kRuntimeNativeIntelInt8};

// Driver versions the DEEPX check accepts, in the order they are tried.
inline const std::vector<std::string> kSupportedDeepxVersions = {"3.3.2"};

// The path after the documentation base for a runtime ("" when it has none).
const char* runtimeDocumentationPath(const std::string& runtimeName);
// Display name -> documentation base + path, for every display name (empty
// address for a runtime without documentation).
std::unordered_map<std::string, std::string> runtimeDocumentationLinks(const std::string& documentationBase);

struct RuntimeInfo {
    std::string downloadUrl;
    std::vector<std::string> mimeTypes;  // the first is the one reported

    // The first mime type; empty (with an error line logged) when there is none.
    std::string firstMimeType() const;
    // True for an empty type or one of mimeTypes exactly.
    bool acceptsMimeType(const std::string& mimeType) const;
};

struct ChipStatus {
    explicit ChipStatus(CpuArchitecture architecture = CpuArchitecture::Unknown) : cpuArchitecture(architecture) {}
    virtual ~ChipStatus() = default;
    ChipStatus(const ChipStatus&) = default;
    ChipStatus& operator=(const ChipStatus&) = default;

    std::map<std::string, RuntimeInfo> runtimes;  // display name -> runtime, byte-wise order
    CpuArchitecture cpuArchitecture;
    std::string chipName;    // the family's token in package addresses
    std::string apiVersion;  // the family's driver token ("" when none)
    bool chipDetected = false;
    bool correctlyInstalled = false;  // runtimes are registered only when set
    int32_t numberOfChips = 0;

    // The runtime's package address; "" with "not found 1" logged for a
    // runtime this family lacks. Logs the address with its first mime type.
    std::string getRuntimeDownloadLink(const std::string& runtimeName) const;
    // The runtime's first mime type; "" with "not found 2" logged for a
    // runtime this family lacks.
    std::string getRuntimeMimeType(const std::string& runtimeName) const;
    // Names of the runtimes accepting the mime type, in key order (all for "").
    std::vector<std::string> matchRuntimes(const std::string& mimeType) const;
    // Logs the status line, only when chipDetected is set.
    void printChipStatus() const;
};

struct HailoChipStatus : ChipStatus {
    using ChipStatus::ChipStatus;
    uint32_t generation = 0;  // 1 and 2 select the two Hailo model types
};

struct NvidiaChipStatus : ChipStatus {
    using ChipStatus::ChipStatus;
    std::string computeCapability;   // without its dot, e.g. "86"
    std::string tensorRtVersion;     // nothing on this platform fills it
    std::string cudaToolkitVersion;  // e.g. "12.4"
};

// Replaces every occurrence of each pattern by its value in one scan from the
// start: inserted text is never scanned again, so a value holding a pattern
// stays as it is. Where two patterns start at the same place the earlier one
// in the list wins; an empty pattern matches nothing.
std::string substitutePlaceholders(const std::string& text,
                                   const std::vector<std::pair<std::string, std::string>>& replacements);

// A RuntimeInfo with the package address of the template
// "{chip_name}/{cpu_arch}/{os_name}{/os_version}/library{-driver_version}.tar.gz"
// below `RuntimesStorageURL`, or below the repository base +
// "/PELM/runtimes/2.0.0" when that is empty; no mime types.
RuntimeInfo buildRuntimeDownloadUrl(const std::string& chipName, CpuArchitecture architecture,
                                    const std::string& osName, const std::string& osVersion,
                                    const std::string& driverVersion, const RuntimesConfig& config);

// Stores the runtime under its display name with its address and one mime
// type; does nothing unless the record is correctly installed.
void registerRuntime(ChipStatus& record, const std::string& runtimeName, const std::string& chipToken,
                     const std::string& osName, const std::string& osVersion, const std::string& driverVersion,
                     const std::string& mimeType, const RuntimesConfig& config);

// Registers "Hailo" with the model type of the record's generation (1 or 2);
// any other generation logs an error and registers nothing.
void registerHailoRuntime(HailoChipStatus& record, const std::string& osName, const RuntimesConfig& config);

}  // namespace qz::vms_server_plugins::analytics::qzai
