#include "inference/postprocessing/process_objects.h"

#include "common/log.h"
#include "common/object_type_id.h"
#include "common/scoped_timer.h"
#include "inference/postprocessing/detection_rows.h"
#include "inference/postprocessing/track_matching.h"

namespace qz::vms_server_plugins::analytics::qzai {

ObjectsByClass process_objects(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                               const TensorSet* set, const ModelPreparation* preparation) {
    ScopedTimer timer("process_objects");
    ObjectsByClass result;
    if (!request || !request->details) {
        logMessage("Warning! Post-processing request without device details; no objects processed.\n");
        return result;
    }
    const ModelDetails_t* model = request->stage ? request->stage->model.get() : nullptr;

    const int index = findDetectionTensor(set);
    timer.mark("find index");
    if (index < 0) {
        logInfo("Notice: Model has no bboxes to process.\n");
        return result;
    }
    const Tensor& tensor = set->tensors[index];
    const std::shared_ptr<const ModelPreparation> own =
        !preparation && model ? model->preparation() : std::shared_ptr<const ModelPreparation>();
    const FrameDetections_t detections =
        readDetections(tensor, detectionClassNames(tensor, preparation ? preparation : own.get()), request);
    if (detections.malformedRows > 0)
        logInfo("Warning! Skipped %zu detection rows holding values that are not finite.\n", detections.malformedRows);
    if (detections.unmappedBoxes > 0)
        logInfo("Warning! Skipped %zu detections that could not be mapped to the frame.\n", detections.unmappedBoxes);
    timer.mark("convert coordinates");

    const std::string& deviceId = request->details->deviceId;
    std::shared_ptr<DeviceTracks_t> device = state.findDeviceTracks(deviceId);
    timer.mark("map lock");
    if (!device) {
        device = state.deviceTracks(deviceId);
        timer.mark("slow lock");
    }

    std::lock_guard<std::mutex> deviceLock(device->mutex);
    timer.mark("device lock");
    for (const auto& entry : detections.byClass) device->classes[entry.first];

    TrackMatchingLimits limits;
    limits.minTrackAgeUs = state.minTrackAgeUs;
    limits.maxReportGapUs = state.maxReportGapUs;
    limits.maxMatchAgeUs = state.maxMatchAgeUs;
    for (const auto& [className, classDetections] : detections.byClass) {
        QzAIObjectList reported = matchTracks(device->classes[className], classDetections, request->timestampUs,
                                              toObjectTypeId(className), limits);
        if (!reported.empty()) result.emplace(className, std::move(reported));
    }
    // A class all of whose tracks were last seen more than the match gap
    // before this frame can match nothing again; its list goes, so class
    // names that change with the model's output do not pile up. A late frame
    // forgets nothing that newer frames saw.
    std::erase_if(device->classes, [&](const auto& entry) {
        return detections.byClass.count(entry.first) == 0 &&
               noTrackWithin(entry.second, request->timestampUs, limits.maxMatchAgeUs);
    });
    for (const auto& [className, objects] : result)
        logInfo("Device %s Model %s Detected %zu objects of class: %s\n", request->details->deviceName.c_str(),
                model ? model->name.c_str() : "", objects.size(), className.c_str());
    timer.mark("process objects");
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
