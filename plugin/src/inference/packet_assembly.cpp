#include "inference/packet_assembly.h"

#include "common/log.h"
#include "inference/postprocessing/object_metadata.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr int64_t kPacketDurationUs = 1;

bool classShown(const pipeline_stage_parameters_t& stage, const std::string& className) {
    if (!stage.classVisualisationSet) return true;
    const auto it = stage.classVisualisation.find(className);
    return it != stage.classVisualisation.end() && it->second;
}

}  // namespace

OutputPackets assembleOutputPackets(const PostprocessingResult& result, const pipeline_stage_parameters_t& stage,
                                    int64_t timestampUs) {
    using namespace qz::sdk::analytics;
    OutputPackets packets;

    for (const auto& [className, objects] : result.objects) {
        if (!classShown(stage, className)) {
            logInfo("Class %s not active in visualisation settings, dropping %zu object(s).\n", className.c_str(),
                    objects.size());
            continue;
        }
        for (const QzAIObjectPtr& object : objects) {
            if (!object) continue;
            if (!packets.objects) {
                packets.objects = qz::sdk::makePtr<ObjectMetadataPacket>();
                packets.objects->setTimestampUs(timestampUs);
                packets.objects->setDurationUs(kPacketDurationUs);
            }
            packets.objects->addItem(createObjectMetadata(*object));
        }
    }

    if (!result.events.empty()) {
        packets.events = qz::sdk::makePtr<EventMetadataPacket>();
        for (const auto& event : result.events) packets.events->addItem(event);
        packets.events->setDurationUs(kPacketDurationUs);
        packets.events->setTimestampUs(timestampUs);
    }

    for (const BestShotRequest& request : result.bestShots) {
        auto packet = qz::sdk::makePtr<ObjectTrackBestShotPacket>(request.trackId, timestampUs,
                                                                   Rect{-1.0f, -1.0f, -1.0f, -1.0f});
        if (request.hasBox == 1)
            packet->setBoundingBox(Rect{request.box.x, request.box.y, request.box.width, request.box.height});
        packets.bestShots.push_back(std::move(packet));
    }
    return packets;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
