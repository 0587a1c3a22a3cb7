// The family probes besides NVIDIA (CPU, Intel, DEEPX, Hailo), the run of all
// five in their fixed order, and the path join the runtimes manager uses.
//
// Each probe resets the record it is given to a fresh one for the
// architecture, decides whether the family is usable and registers the
// family's runtimes. They run on the thread that constructs the engine;
// commands go through the services' runner with their time-out and
// environment. Nothing throws.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/cpu_architecture.h"
#include "runtimes/runtime_catalogue.h"
#include "runtimes/runtimes_platform.h"

namespace qz::vms_server_plugins::analytics::qzai {

class MessagingManager;

void probeCpu(ChipStatus& record, CpuArchitecture architecture, const std::string& osName,
              const std::string& osVersion, const RuntimesConfig& config);
void probeIntelChip(ChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                    const std::string& osVersion, MessagingManager& messages, const RuntimesConfig& config);
void probeDeepxChip(ChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                    const std::string& osVersion, const PlatformServices& services, const RuntimesConfig& config);
// Sets chipDetected when "dxrt-cli --status" works, and correctlyInstalled
// with apiVersion "dxrt-v<version>" when "dxrt-cli -i" names a supported
// driver version.
void checkDeepxDriver(ChipStatus& record, const PlatformServices& services);
void probeHailoChip(HailoChipStatus& record, CpuArchitecture architecture, const std::string& osName,
                    const std::string& osVersion, const RuntimesConfig& config);

// The first "DXRT v<digits>.<digits>.<digits>" of the text, as
// "<digits>.<digits>.<digits>"; empty when there is none. Linear in the text's
// length (no regular-expression engine, whose recursion a long run of digits
// could drive into a stack overflow).
std::optional<std::string> findDeepxDriverVersion(std::string_view text);

struct FamilyRecords {
    std::unique_ptr<ChipStatus> cpu;
    std::unique_ptr<NvidiaChipStatus> nvidia;
    std::unique_ptr<ChipStatus> deepx;
    std::unique_ptr<HailoChipStatus> hailo;
    std::unique_ptr<ChipStatus> intel;
};

// Runs the probes in the order CPU, NVIDIA, DEEPX, Hailo, Intel and returns
// the five fresh records.
FamilyRecords probeAllFamilies(CpuArchitecture architecture, const std::string& osName, const std::string& osVersion,
                               MessagingManager& messages, const PlatformServices& services,
                               const RuntimesConfig& config);

// The platform's path join of the directory and the parts ("" parts skipped).
std::string joinPath(const std::string& directory, const std::string& part, const std::string& more = "");

}  // namespace qz::vms_server_plugins::analytics::qzai
