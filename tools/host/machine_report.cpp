#include "host/machine_report.h"

#include <filesystem>
#include <fstream>

namespace qz::test_host {

std::vector<std::string> machineReportLines(const std::string& dataDirectory) {
    static const char* const kMarkers[] = {
        "OS Name: ", "Chip name: ", "NVIDIA GPU not found.", "nvidia-smi not found",
        "DEEPX driver", "AVX2 is not supported", "libgomp is not installed",
    };
    std::vector<std::string> lines;
    for (const char* file : {"qzai_plugin_start.log", "qzai_plugin.log"}) {
        std::ifstream in(std::filesystem::path(dataDirectory) / file);
        std::string line;
        while (std::getline(in, line)) {
            for (const char* marker : kMarkers) {
                const size_t at = line.find(marker);
                if (at != std::string::npos) {
                    lines.push_back(line.substr(at));
                    break;
                }
            }
        }
    }
    return lines;
}

}  // namespace qz::test_host
