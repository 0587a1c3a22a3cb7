// Detection of a usable NVIDIA stack: a PCI device of vendor 0x10DE, a
// working nvidia-smi, a CUDA toolkit found through CUDA_PATH and PATH, a
// toolkit the driver supports and a GPU the toolkit supports. Only then is the
// family marked correctly installed and the "NVIDIA" runtime registered.
// Every problem the user can fix becomes the Info notice "NVIDIA_GPU_SDK".
//
// Runs on the thread that constructs the engine; every command goes through
// the services' runner with their time-out and environment. Plain functions;
// nothing throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/cpu_architecture.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/runtimes_platform.h"

namespace qz::vms_server_plugins::analytics::qzai {

class MessagingManager;

inline constexpr const char* kNvidiaNoticeId = "NVIDIA_GPU_SDK";
inline constexpr const char* kNvidiaDriverPage = "https://www.nvidia.com/Download/index.aspx";
inline constexpr const char* kCudaGpuListPage = "https://developer.nvidia.com/cuda-gpus";
inline constexpr const char* kCudaCompatibilityPage =
    "https://docs.nvidia.com/deploy/cuda-compatibility/index.html";

// The anchor to the NVIDIA setup page of the documentation, text "documentation".
std::string buildNvidiaSupportLink(const std::string& documentationBase);

// The four notice texts.
std::string nvidiaUnavailableNotice(const std::string& documentationBase);
std::string nvidiaPathNotice(const std::string& cudaPath, const std::string& documentationBase);
std::string nvidiaDriverNotice(const std::string& toolkitVersion, const std::string& driverCudaVersion);
std::string nvidiaComputeCapabilityNotice(const std::string& apiVersion);

// Fills a fresh record for the architecture and registers the family's runtimes.
void probeNvidiaChip(NvidiaChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                     const std::string& osVersion, MessagingManager& messages, const PlatformServices& services,
                     const RuntimesConfig& config);
// The detection steps on x86_64; any stop leaves correctlyInstalled false.
void checkNvidiaWindows(NvidiaChipStatus& record, MessagingManager& messages, const PlatformServices& services,
                        const RuntimesConfig& config);
// Registers "NVIDIA" and, where allowed, "NVIDIA TensorRT" for a correctly
// installed record.
void registerNvidiaRuntimes(NvidiaChipStatus& record, const std::string& osName, const std::string& osVersion,
                            const RuntimesConfig& config);

bool checkCudaDriverCompatibility(NvidiaChipStatus& record, MessagingManager& messages,
                                  const std::string& driverCudaVersion);
bool checkComputeCapability(NvidiaChipStatus& record, MessagingManager& messages, const PlatformServices& services);
// "8.6" from nvidia-smi gives "86"; "" when the command does not work.
std::string queryGpuComputeCapability(const PlatformServices& services);
// The first line of the output without white space and dots.
std::string computeCapabilityFromOutput(std::string_view output);
// The GPU count at the start of the output; empty when it is not a decimal number.
std::optional<int> gpuCountFromOutput(std::string_view output);
// The toolkit version from CUDA_PATH: after the first "\v", up to the next
// '\' or '/' ("...\CUDA\v12.4" gives "12.4"); "" when there is none.
std::string cudaVersionFromPath(std::string_view cudaPath);

// "cuda_umd_version", or "cuda_version" when that is empty.
std::string getCudaVersionFromSmiXml(const std::string& xml);
// The text between the first <name> and the next </name> after it.
std::string extractXmlElementText(std::string_view text, std::string_view name);

// Whether a toolkit of the API version ("cuda_11".."cuda_13") supports the
// GPU's SM; unknown or unreadable values give true.
bool cudaSupportsComputeCapability(const std::string& sm, const std::string& apiVersion);

}  // namespace qz::vms_server_plugins::analytics::qzai
