#include "inference/postprocessing/postprocessing_state.h"

#include "inference/postprocessing/dumping_detection.h"

namespace qz::vms_server_plugins::analytics::qzai {

PostprocessingState::PostprocessingState(std::string root) : rootFolder(std::move(root)) {}

PostprocessingState::~PostprocessingState() {
    saveDumpingCache(*this);
}

void PostprocessingState::requestReferenceRun(const std::string& deviceId, const std::string& stageKey) {
    std::lock_guard<std::mutex> lock(referenceRunLock);
    referenceRuns[deviceId] = stageKey;
}

std::shared_ptr<DeviceTracks_t> PostprocessingState::findDeviceTracks(const std::string& deviceId) const {
    std::shared_lock<std::shared_mutex> lock(trackedObjectsLock);
    auto it = trackedObjects.find(deviceId);
    return it == trackedObjects.end() ? nullptr : it->second;
}

std::shared_ptr<DeviceTracks_t> PostprocessingState::deviceTracks(const std::string& deviceId, bool* created) {
    if (created) *created = false;
    if (auto found = findDeviceTracks(deviceId)) return found;
    std::unique_lock<std::shared_mutex> lock(trackedObjectsLock);
    auto& slot = trackedObjects[deviceId];
    if (!slot) {
        slot = std::make_shared<DeviceTracks_t>();
        if (created) *created = true;
    }
    return slot;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
