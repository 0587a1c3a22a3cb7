#include "host/decoder_road.h"

#include <nlohmann/json.hpp>

#include "host/main_job.h"

namespace qz::test_host {

namespace {

struct Family {
    const char* layout;
    const char* architecture;  // as a model's "modelArchitecture" names it
};
constexpr Family kFamilies[] = {{"ssd", "SSD"}, {"rtdetr", "RT-DETR"}};

}  // namespace

std::string decoderRoadPostprocessing(const std::string& layout) {
    for (const Family& family : kFamilies) {
        if (layout == family.layout) {
            return nlohmann::json{{"modelArchitecture", family.architecture},
                                  {"classes", {RoadRig::kClassName}}}
                .dump();
        }
    }
    return {};
}

bool runDecoderRoads(const MainJobOptions& options, FILE* out) {
    bool ok = true;
    std::fprintf(out, "\nbuilt-in decoders (one camera, raw model outputs decoded by the plug-in):\n");
    for (const Family& family : kFamilies) {
        MainJobOptions road = options;
        road.cameras = 1;
        road.frames = 20;
        road.log = nullptr;
        road.outputLayout = family.layout;
        const MainJobResult result = runMainJob(road);
        if (!result.ok) {
            std::fprintf(out, "  %-8s failed: %s\n", family.architecture, result.error.c_str());
            ok = false;
            continue;
        }
        std::fprintf(out, "  %-8s %zu objects, mean IoU against the drawn squares %.3f\n", family.architecture,
                     result.objects, result.meanIou);
        ok = ok && result.meanIou >= 0.9 && result.objects > 0 && result.objectsLeaked == 0;
    }
    return ok;
}

}  // namespace qz::test_host
