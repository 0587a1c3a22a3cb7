#include "inference/postprocessing/object_counting.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>

#include "inference/postprocessing/postprocessing_state.h"
#include "inference/postprocessing/time_difference.h"
#include "records/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr size_t kHistoryLength = 10;

// The most frequent value; ties go to the value met first from the oldest end.
uint64_t modeOf(const std::deque<uint64_t>& history) {
    uint64_t mode = history.front();
    std::ptrdiff_t bestFrequency = 1;
    for (const uint64_t value : history) {
        const std::ptrdiff_t frequency = std::count(history.begin(), history.end(), value);
        if (frequency > bestFrequency) mode = value, bestFrequency = frequency;
    }
    return mode;
}

}  // namespace

EventPtr countObjects(PostprocessingState& state, const std::shared_ptr<InferenceInput_t>& request,
                      const ObjectsByClass& objects) {
    if (objects.empty() || !request || !request->details) return {};
    std::lock_guard<std::mutex> lock(state.countingLock);
    auto& device = state.countHistory[request->details->deviceId];
    const int64_t now = request->timestampUs;
    // Only what lies more than the gap behind this frame is forgotten; a late
    // frame leaves what newer frames counted.
    std::erase_if(device, [&](const auto& entry) {
        return saturatingTimeDifference(now, entry.second.lastPresentUs) > state.maxMatchAgeUs;
    });
    std::string description = "\n";
    bool anyLine = false;
    for (const auto& [className, list] : objects) {
        ClassCounts& counts = device[className];
        counts.lastPresentUs = counts.counts.empty() ? now : std::max(counts.lastPresentUs, now);
        std::deque<uint64_t>& history = counts.counts;
        history.push_back(list.size());
        if (history.size() > kHistoryLength) history.pop_front();
        const uint64_t mode = modeOf(history);
        if (mode == 0) continue;
        description += className + ": " + std::to_string(mode) + "\n";
        anyLine = true;
    }
    if (!anyLine) return {};
    EventPtr event = qz::sdk::analytics::createEventMetadata();
    event->setTypeId(event_types::kCounted);
    event->setIsActive(true);
    event->setCaption("Objects counted");
    event->setDescription(std::move(description));
    return event;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
