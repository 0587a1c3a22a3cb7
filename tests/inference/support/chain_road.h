// A started InferenceManager over test-runtime models arranged as a stage
// tree, a camera callback that records every packet, and the pieces tests
// use to call chaining directly (parent requests, objects, output sets).
//
// Models get the ids "m0", "m1", ... in the order they are added, which is
// also their runtime model index (the engine loads them in id order; fewer
// than ten per road). One test thread drives a road; the recorder may be
// called from any thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/messaging_manager.h"
#include "records/model_details.h"
#include "records/pipeline_stage.h"
#include "records/device_agent_settings.h"
#include "host/test_frame.h"
#include "inference/inference_manager.h"
#include "inference/postprocessing/qzai_object.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/log_folder.h"
#include "qz/sdk/interface_ids.h"

namespace engine_test {

struct SeenObject {
    std::string typeId;
    qz::sdk::analytics::Rect box;
};

struct SeenPacket {
    std::string deviceId;
    int64_t timestampUs = 0;
    std::vector<SeenObject> objects;
};

// Records the object packets of any number of cameras.
class PacketRecorder {
public:
    qzai::InferenceResultCallback callback(const std::string& deviceId);
    // Waits until `done(packets)` holds; false after the timeout.
    bool waitUntil(const std::function<bool(const std::vector<SeenPacket>&)>& done,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    std::vector<SeenPacket> packets();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<SeenPacket> m_packets;
};

// The objects of type `className` among packets with timestamp `timestampUs`.
std::vector<SeenObject> objectsAt(const std::vector<SeenPacket>& packets, int64_t timestampUs,
                                  const std::string& className);

class ChainRoad {
public:
    // workers: N of the manager; runtimeArgs: the runtime's arguments.
    explicit ChainRoad(int workers = 8, std::map<std::string, std::string> runtimeArgs = {});
    ~ChainRoad();

    // A model with an input of side x side, the class list and the declared
    // named outputs; its named inputs are `inputs` when given, else one
    // float32 image input "image-" [1, 3, side, side].
    std::shared_ptr<qzai::ModelDetails_t> addModel(
        const std::string& descriptor, int side, std::vector<std::string> classes,
        std::vector<qzai::NamedTensorDetails_t> outputs = {},
        std::optional<std::vector<qzai::NamedTensorDetails_t>> inputs = std::nullopt);
    // Starts the manager with every model and the pipeline `root` (keys,
    // shown classes and frame-road marks are filled in).
    void start(qzai::pipeline_stage_parameters_t root);

    // Sends the camera's next frame (60 ms of camera time after the previous)
    // and waits until its top-level request was enqueued.
    int64_t push(const std::vector<qz::test_host::Square>& squares, const std::string& deviceId = "cam");
    // Pushes frames until `done` holds for the last one's timestamp (each
    // frame is given up to `wait`), at most `frames` frames.
    bool pushUntil(const std::vector<qz::test_host::Square>& squares,
                   const std::function<bool(const std::vector<SeenPacket>&, int64_t)>& done, int frames = 30,
                   std::chrono::milliseconds wait = std::chrono::milliseconds(150));

    // A parent request of the root stage for a frame with these squares
    // (with its RGB frame unless withFrame is false).
    std::shared_ptr<qzai::InferenceInput_t> parentRequest(int64_t timestampUs,
                                                          const std::vector<qz::test_host::Square>& squares,
                                                          bool withFrame = true);
    const qzai::pipeline_stage_parameters_t& root() const { return m_settings->stages.front(); }
    std::shared_ptr<const qzai::DeviceAgentSettings_t> settings() const { return m_settings; }
    // The models in the order added; a changed one makes start reload.
    qzai::ModelMap models() const;

    uint64_t enqueued(size_t modelIndex) const { return env.stats().enqueueAcceptedByModel[modelIndex]; }

    static constexpr int kFrameWidth = 320;
    static constexpr int kFrameHeight = 240;

    LogFolder log{"chain_road"};
    EngineTestEnv env;
    qzai::MessagingManager notices;
    std::unique_ptr<qzai::InferenceManager> manager;
    PacketRecorder recorder;

private:
    std::vector<std::shared_ptr<qzai::ModelDetails_t>> m_models;
    std::shared_ptr<qzai::DeviceAgentSettings_t> m_settings;
    int64_t m_lastTimestampUs = 0;
    int m_workers;
};

// A stage of `model` linked to its parent by `method`.
qzai::pipeline_stage_parameters_t chainStage(const std::shared_ptr<qzai::ModelDetails_t>& model,
                                             qzai::ChainMethod method, std::string featureClass = "",
                                             qzai::ResizingMethod resizing = qzai::ResizingMethod::Stretch);

// A tracked object with `box` (fractions of the frame).
qzai::QzAIObjectPtr trackedObject(float x, float y, float width, float height, bool skipFeatureExtraction = false);

// A malloc'd output set with one tensor per entry: name, element type,
// shape, data bytes (null data when `bytes` is empty and byteSize 0).
struct TensorDesc {
    std::string name;
    uint32_t elementType = QZ_ELEMENT_FLOAT32;
    std::vector<int32_t> shape;
    std::vector<uint8_t> bytes;
};
qzai::TensorSetPtr makeOutputSet(const std::vector<TensorDesc>& tensors);

// Intersection over union of a packet box and a box in fractions.
double iouOf(const qz::sdk::analytics::Rect& a, float x, float y, float width, float height);

}  // namespace engine_test
