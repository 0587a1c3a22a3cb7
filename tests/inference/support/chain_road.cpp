#include "chain_road.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "common/object_type_id.h"
#include "inference/support/manager_fixture.h"
#include "inference/video_frame.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"

namespace engine_test {

qzai::InferenceResultCallback PacketRecorder::callback(const std::string& deviceId) {
    return [this, deviceId](auto objects, auto, auto) {
        if (!objects) return;
        SeenPacket packet{deviceId, objects->timestampUs(), {}};
        for (int i = 0; i < objects->count(); ++i) {
            // at() hands out a reference of its own.
            const auto item = qz::sdk::Ptr<std::remove_pointer_t<decltype(objects->at(i))>>(objects->at(i));
            packet.objects.push_back({item->typeId(), item->boundingBox()});
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_packets.push_back(std::move(packet));
        m_changed.notify_all();
    };
}

bool PacketRecorder::waitUntil(const std::function<bool(const std::vector<SeenPacket>&)>& done,
                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return done(m_packets); });
}

std::vector<SeenPacket> PacketRecorder::packets() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
}

std::vector<SeenObject> objectsAt(const std::vector<SeenPacket>& packets, int64_t timestampUs,
                                  const std::string& className) {
    const std::string typeId = qzai::toObjectTypeId(className);
    std::vector<SeenObject> found;
    for (const SeenPacket& packet : packets) {
        if (packet.timestampUs != timestampUs) continue;
        for (const SeenObject& object : packet.objects)
            if (object.typeId == typeId) found.push_back(object);
    }
    return found;
}

ChainRoad::ChainRoad(int workers, std::map<std::string, std::string> runtimeArgs) : m_workers(workers) {
    env.writeRuntimeArgs(std::move(runtimeArgs));
}

ChainRoad::~ChainRoad() {
    if (!manager) return;
    manager->stopInferenceEngine();
    // Every set the runtime took was given back, answered or not.
    const TestRuntimeStats stats = env.stats();
    EXPECT_EQ(stats.enqueueAccepted, stats.inputsFreed);
    EXPECT_EQ(manager->freeInputPermits(), m_workers);
    EXPECT_EQ(manager->freeOutputPermits(), m_workers);
}

std::shared_ptr<qzai::ModelDetails_t> ChainRoad::addModel(
    const std::string& descriptor, int side, std::vector<std::string> classes,
    std::vector<qzai::NamedTensorDetails_t> outputs, std::optional<std::vector<qzai::NamedTensorDetails_t>> inputs) {
    auto model = env.makeModel("m" + std::to_string(m_models.size()), descriptor);
    manager_test::describeImageInput(*model, side, std::move(classes));
    if (inputs) model->namedInputs = std::move(*inputs);
    model->namedOutputs = std::move(outputs);
    m_models.push_back(model);
    return model;
}

qzai::ModelMap ChainRoad::models() const {
    return manager_test::modelMap(m_models);
}

namespace {

// Keys as the pipeline parser forms them, every class shown, and the frame
// road marked where a descendant cuts from the frame.
bool finishStage(qzai::pipeline_stage_parameters_t& stage, const std::string& prefix) {
    stage.key = prefix + stage.model->id;
    for (const std::string& name : stage.model->classNames) stage.classVisualisation[name] = true;
    stage.needsFrame = stage.chainMethod == qzai::ChainMethod::FeatureExtraction ||
                       stage.chainMethod == qzai::ChainMethod::Conditional;
    for (auto& child : stage.children) stage.needsFrame = finishStage(child, stage.key) || stage.needsFrame;
    return stage.needsFrame;
}

}  // namespace

void ChainRoad::start(qzai::pipeline_stage_parameters_t root) {
    finishStage(root, "");
    auto settings = std::make_shared<qzai::DeviceAgentSettings_t>();
    settings->deviceActive = true;
    settings->stages.push_back(std::move(root));
    m_settings = settings;
    manager = std::make_unique<qzai::InferenceManager>(env.root(), "", notices, m_workers);
    manager->start(manager_test::modelMap(m_models));
    ASSERT_TRUE(manager->hasEngine());
}

int64_t ChainRoad::push(const std::vector<qz::test_host::Square>& squares, const std::string& deviceId) {
    const uint64_t before = env.stats().enqueueAcceptedByModel[0];
    const int64_t timestampUs = m_lastTimestampUs += 60'000;
    manager->sendInputMessage(manager_test::makeFrame(kFrameWidth, kFrameHeight, timestampUs, squares), m_settings,
                              manager_test::makeDetails(deviceId), recorder.callback(deviceId));
    EXPECT_TRUE(waitFor([&] { return env.stats().enqueueAcceptedByModel[0] > before; }));
    return timestampUs;
}

bool ChainRoad::pushUntil(const std::vector<qz::test_host::Square>& squares,
                          const std::function<bool(const std::vector<SeenPacket>&, int64_t)>& done, int frames,
                          std::chrono::milliseconds wait) {
    for (int f = 0; f < frames; ++f) {
        const int64_t timestampUs = push(squares);
        if (recorder.waitUntil([&](const auto& packets) { return done(packets, timestampUs); }, wait)) return true;
    }
    return false;
}

std::shared_ptr<qzai::InferenceInput_t> ChainRoad::parentRequest(int64_t timestampUs,
                                                                 const std::vector<qz::test_host::Square>& squares,
                                                                 bool withFrame) {
    auto request = std::make_shared<qzai::InferenceInput_t>();
    request->timestampUs = timestampUs;
    if (withFrame) {
        const auto frame = manager_test::makeFrame(kFrameWidth, kFrameHeight, timestampUs, squares);
        request->frame = std::make_shared<qzai::VideoFrame>(frame.get(), 0u);
    }
    request->frameWidth = kFrameWidth;
    request->frameHeight = kFrameHeight;
    request->settings = m_settings;
    request->details = manager_test::makeDetails("cam");
    request->stage = &m_settings->stages.front();
    request->callback = recorder.callback("cam");
    return request;
}

qzai::pipeline_stage_parameters_t chainStage(const std::shared_ptr<qzai::ModelDetails_t>& model,
                                             qzai::ChainMethod method, std::string featureClass,
                                             qzai::ResizingMethod resizing) {
    qzai::pipeline_stage_parameters_t stage;
    stage.model = model;
    stage.chainMethod = method;
    stage.featureExtractionClass = std::move(featureClass);
    stage.resizingMethod = resizing;
    return stage;
}

qzai::QzAIObjectPtr trackedObject(float x, float y, float width, float height, bool skipFeatureExtraction) {
    qzai::QzAIObjectData_t data;
    data.box = {x, y, width, height};
    data.skipFeatureExtraction = skipFeatureExtraction;
    return std::make_shared<qzai::QzAIObject_t>(std::move(data));
}

qzai::TensorSetPtr makeOutputSet(const std::vector<TensorDesc>& tensors) {
    qzai::TensorSetPtr set(static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet))));
    set->tensors = static_cast<Tensor*>(std::calloc(tensors.size(), sizeof(Tensor)));
    set->count = static_cast<uint32_t>(tensors.size());
    for (size_t i = 0; i < tensors.size(); ++i) {
        Tensor& t = set->tensors[i];
        t.name = strdup(tensors[i].name.c_str());
        t.elementType = tensors[i].elementType;
        t.rank = static_cast<uint32_t>(tensors[i].shape.size());
        t.shape = static_cast<int32_t*>(std::malloc(std::max<size_t>(1, t.rank) * sizeof(int32_t)));
        std::copy(tensors[i].shape.begin(), tensors[i].shape.end(), t.shape);
        t.byteSize = tensors[i].bytes.size();
        if (t.byteSize) {
            t.data = std::malloc(t.byteSize);
            std::memcpy(t.data, tensors[i].bytes.data(), t.byteSize);
        }
    }
    return set;
}

double iouOf(const qz::sdk::analytics::Rect& a, float x, float y, float width, float height) {
    const double ix = std::max(0.0, std::min<double>(a.x + a.width, x + width) - std::max<double>(a.x, x));
    const double iy = std::max(0.0, std::min<double>(a.y + a.height, y + height) - std::max<double>(a.y, y));
    const double inter = ix * iy;
    const double uni = static_cast<double>(a.width) * a.height + static_cast<double>(width) * height - inter;
    return uni > 0.0 ? inter / uni : 0.0;
}

}  // namespace engine_test
