// The records that carry one inference through the inference road: the
// camera's result callback, one request of one pipeline stage for one frame,
// one finished inference, and the bounded queue between the inference
// engine's output thread and the manager's output loop.
//
// A request is never changed after it has been handed to the inference
// engine, so every holder reads it without a lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "records/device_agent_details.h"
#include "records/pipeline_stage.h"
#include "records/device_agent_settings.h"
#include "inference/runtime_api.h"
#include "qz/sdk/ptr.h"

namespace qz::sdk::analytics {
class ObjectMetadataPacket;
class EventMetadataPacket;
class ObjectTrackBestShotPacket;
}  // namespace qz::sdk::analytics

namespace qz::vms_server_plugins::analytics::qzai {

struct VideoFrame;
struct QzAIObject_t;

using InferenceResultCallback = std::function<void(
    qz::sdk::Ptr<qz::sdk::analytics::ObjectMetadataPacket>,
    qz::sdk::Ptr<qz::sdk::analytics::EventMetadataPacket>,
    std::vector<qz::sdk::Ptr<qz::sdk::analytics::ObjectTrackBestShotPacket>>)>;

// A region of the frame as fractions of its width and height.
struct FrameRegion_t {
    float x = 0.0f;
    float y = 0.0f;
    float width = 1.0f;
    float height = 1.0f;
};

// The region a crop box (x0, y0, x1, y1 as fractions of the frame) covers:
// (x0, y0, x1 - x0, y1 - y0), as given (preprocessing clamps the pixels).
FrameRegion_t regionOfCropBox(const float (&cropBox)[4]);

struct InferenceInput_t {
    int64_t timestampUs = 0;
    std::shared_ptr<VideoFrame> frame;  // empty on the direct road
    int64_t frameWidth = 0;
    int64_t frameHeight = 0;
    std::shared_ptr<const DeviceAgentSettings_t> settings;  // keeps `stage` alive
    std::shared_ptr<const DeviceAgentDetails_t> details;
    const pipeline_stage_parameters_t* stage = nullptr;
    std::shared_ptr<QzAIObject_t> sourceObject;  // set for chained stages
    FrameRegion_t region;
    InferenceResultCallback callback;
};

// Frees a TensorSet returned by the runtime (freeTensorSet, then the set).
struct TensorSetDeleter {
    void operator()(TensorSet* set) const;
};
using TensorSetPtr = std::unique_ptr<TensorSet, TensorSetDeleter>;

struct InferenceOutput {
    std::shared_ptr<InferenceInput_t> request;
    TensorSetPtr output;
    bool reportThroughput = false;
    double engineInputRate = 0.0;
    double deviceInputRate = 0.0;
    double engineOutputRate = 0.0;
    double deviceOutputRate = 0.0;
};

struct OutputQueue {
    static constexpr size_t capacity = 64;

    std::deque<InferenceOutput> items;
    std::mutex mutex;
    std::condition_variable condition;
    std::atomic<size_t> count{0};

    // Appends when fewer than 64 entries are queued and wakes one waiter in
    // either case. On refusal the entry stays with the caller.
    bool push(InferenceOutput&& output);
};

}  // namespace qz::vms_server_plugins::analytics::qzai
