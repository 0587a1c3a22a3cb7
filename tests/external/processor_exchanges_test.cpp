// The four external exchanges against the real peer, one process per
// processor, over shared memory and over TCP.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/support/log_capture.h"
#include "inference/processors/postprocessor_exchanges.h"
#include "inference/processors/preprocessor_exchanges.h"
#include "external/processor_config.h"
#include "external/support/external_support.h"
#include "host/patience.h"
#include "common/frame_buffer_pool.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/video_frame.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::test::LogCapture;

namespace {

const char* const kCar = "{0A0A0A0A-0000-4000-8000-00000000000A}";
const char* const kPerson = "{0B0B0B0B-0000-4000-8000-00000000000B}";

enum class ExchangeTransport { Shm, Tcp };

// The peer with a behaviour and options, as a processor record of either
// kind; the receive thread runs unless the record sends no answers.
template <class Record>
struct PeerProcessor {
    PeerProcessor(ExchangeTransport transport, const std::string& behaviour, std::vector<std::string> options,
                  uint64_t timeoutMs = 5000, bool noResponse = false) {
        record = std::make_shared<Record>();
        record->name = "peer-" + behaviour;
        record->timeoutMs = timeoutMs;
        record->noResponse = noResponse;
        std::vector<std::string> arguments = {"--Behaviour", behaviour};
        arguments.insert(arguments.end(), options.begin(), options.end());
        if (transport == ExchangeTransport::Tcp) {
            tcp = std::make_unique<qz::test::TcpPeer>(arguments);
            record->process = qzai::ExternalProcess::createTcp(tcp->port());
        } else {
            record->process = qzai::ExternalProcess::create(qz::test::peerProgram(), "", arguments, {});
        }
        if (!noResponse)
            record->receiveThread = std::jthread(qzai::processorReceiveLoop, record->process.get(),
                                                 record->responseWaiters.get(), 200u, record->name);
    }
    std::unique_ptr<qz::test::TcpPeer> tcp;
    std::shared_ptr<Record> record;
};

qzai::QzAIObjectPtr object(const char* id, float x) {
    qzai::QzAIObjectData_t data;
    data.trackId = qz::sdk::uuidFromString(id);
    data.box = {x, 0.1f, 0.2f, 0.2f};
    data.confidence = 0.9f;
    return std::make_shared<qzai::QzAIObject_t>(std::move(data));
}

struct Road {
    Road() {
        request->timestampUs = 42'000;
        request->details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam", "Cam"});
        request->stage = &stage;
        state.deviceTracks("cam")->classes = {{"car", {car}}, {"person", {person}}};
    }
    qzai::PostprocessingState state{""};
    qzai::pipeline_stage_parameters_t stage;
    std::shared_ptr<qzai::InferenceInput_t> request = std::make_shared<qzai::InferenceInput_t>();
    qzai::QzAIObjectPtr car = object(kCar, 0.1f);
    qzai::QzAIObjectPtr person = object(kPerson, 0.5f);
};

// A float tensor set that owns its parts, as the runtime hands them out.
qzai::TensorSetPtr floatSet(const char* name, std::vector<int32_t> shape, const std::vector<float>& values) {
    auto* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->count = 1;
    set->tensors = static_cast<Tensor*>(std::calloc(1, sizeof(Tensor)));
    Tensor& t = set->tensors[0];
    t.name = strdup(name);
    t.elementType = 1;
    t.rank = static_cast<uint32_t>(shape.size());
    t.shape = static_cast<int32_t*>(std::malloc(shape.size() * sizeof(int32_t)));
    std::memcpy(t.shape, shape.data(), shape.size() * sizeof(int32_t));
    t.byteSize = values.size() * sizeof(float);
    t.data = std::malloc(t.byteSize);
    std::memcpy(t.data, values.data(), t.byteSize);
    return qzai::TensorSetPtr(set);
}

std::vector<float> floats(const Tensor& t) {
    std::vector<float> out(t.byteSize / sizeof(float));
    std::memcpy(out.data(), t.data, t.byteSize);
    return out;
}

class Exchanges : public testing::TestWithParam<ExchangeTransport> {};

TEST_P(Exchanges, ObjectsPostprocessorAppliesWhatThePeerAnswers) {
    Road road;
    PeerProcessor<qzai::ExternalPostprocessor_t> peer(GetParam(), "objects", {"--drop", "person", "--attr", "k"});
    road.stage.postprocessor = peer.record.get();
    const auto result = qzai::ObjectsPostprocessor(road.state, road.request,
                                                   {{"car", {road.car}}, {"person", {road.person}}}, {}, nullptr);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->objects.size(), 1u);
    ASSERT_EQ(result->objects.at("car").size(), 1u);
    EXPECT_EQ(result->objects.at("car")[0], road.car);
    ASSERT_EQ(road.car->snapshot().attributes.size(), 1u);
    EXPECT_STREQ(road.car->snapshot().attributes[0]->value(), "seen");
    ASSERT_EQ(result->events.size(), 1u);
    ASSERT_EQ(result->bestShots.size(), 1u);
    EXPECT_EQ(qz::sdk::uuidToString(result->bestShots[0].trackId, 255), kCar);
    EXPECT_EQ(peer.record->responseWaiters->pending(), 0u);
}

TEST_P(Exchanges, TensorExchangesReplaceTheSet) {
    Road road;
    {
        // Post-processor: rows of class 1 dropped from the detections.
        PeerProcessor<qzai::ExternalPostprocessor_t> peer(GetParam(), "dropclass", {"--k", "1"});
        peer.record->schedule = qzai::PostprocessorSchedule::Tensor;
        road.stage.postprocessor = peer.record.get();
        auto output = floatSet("out format:xyxysc", {3, 6}, {0, 0, 1, 1, 0.9f, 0, 2, 2, 3, 3, 0.8f, 1, 4, 4, 5, 5, 0.7f, 0});
        auto replaced = qzai::TensorsPostprocessor(road.state, road.request, output.get());
        ASSERT_TRUE(replaced);
        EXPECT_EQ(replaced->tensors[0].shape[0], 2);
        EXPECT_EQ(floats(replaced->tensors[0]), (std::vector<float>{0, 0, 1, 1, 0.9f, 0, 4, 4, 5, 5, 0.7f, 0}));
        // The objects exchange leaves a tensor post-processor alone.
        EXPECT_FALSE(qzai::ObjectsPostprocessor(road.state, road.request, {}, {}, output.get()));
    }
    {
        // Pre-processor: the model input mirrored left to right.
        PeerProcessor<qzai::ExternalPreprocessor_t> peer(GetParam(), "tensorflip", {});
        peer.record->schedule = qzai::PreprocessorSchedule::Tensor;
        road.stage.preprocessor = peer.record.get();
        auto input = floatSet("image", {1, 3, 1, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
        auto replaced = qzai::TensorsPreprocessor(*road.request, *input);
        ASSERT_TRUE(replaced);
        EXPECT_EQ(floats(replaced->tensors[0]), (std::vector<float>{3, 2, 1, 6, 5, 4, 9, 8, 7}));
    }
}

TEST_P(Exchanges, ImagePreprocessorMirrorsTheFrameAndTakesTheAnswersLayout) {
    Road road;
    PeerProcessor<qzai::ExternalPreprocessor_t> peer(GetParam(), "imageflip", {"--layout", "7"});
    road.stage.preprocessor = peer.record.get();
    // Interleaved 2 x 1: pixels (1,2,3) and (4,5,6).
    const std::vector<float> pixels = {1, 2, 3, 4, 5, 6};
    const qzai::VideoFrame frame(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pixels.data()), pixels.size() * 4), 2, 1, 1);
    auto flipped = qzai::runImagePreprocessor(42'000, frame, road.stage, *road.request->details);
    ASSERT_TRUE(flipped);
    EXPECT_EQ(flipped->format(), 7u);
    EXPECT_EQ(flipped->width(), 2);
    std::vector<float> out(6);
    ASSERT_EQ(flipped->data().size(), 24u);
    std::memcpy(out.data(), flipped->data().data(), 24);
    EXPECT_EQ(out, (std::vector<float>{4, 5, 6, 1, 2, 3}));
    // The answer's buffer goes back to the processor with the frame, and the
    // next answer is written into it rather than into fresh memory.
    const uint8_t* buffer = flipped->data().data();
    flipped.reset();
    EXPECT_EQ(peer.record->answerBuffers->idle(), 1u);
    auto again = qzai::runImagePreprocessor(42'001, frame, road.stage, *road.request->details);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->data().data(), buffer);
    EXPECT_EQ(peer.record->answerBuffers->idle(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, Exchanges, testing::Values(ExchangeTransport::Shm, ExchangeTransport::Tcp),
                         [](const auto& info) { return info.param == ExchangeTransport::Shm ? "Shm" : "Tcp"; });

TEST(ExchangeFailures, GiveNothingAndLeaveNoWaiter) {
    struct Case {
        const char* name;
        std::string behaviour;
        std::vector<std::string> options;
        uint64_t timeoutMs;
        bool noResponse;
        bool exited;
        const char* warning;
    };
    // The short time-outs also bound the child's acknowledgement of the
    // request: they stretch with a sanitised build on few processors, and the
    // late answer stays later than its time-out.
    const int slow = qz::test_host::slowness();
    const Case cases[] = {
        {"late answer", "delay", {"--ms", std::to_string(400 * slow)}, 50u * slow, false, false,
         "Warning: No response from objects postprocessor\n"},
        {"no-response processor", "objects", {}, 5000, true, false, nullptr},
        {"exited child", "exit", {"--ms", "0", "--code", "0"}, 5000, false, true, nullptr},
        {"answer for another device", "otherid", {}, 100u * slow, false, false,
         "Warning: No response from objects postprocessor\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Road road;
        LogCapture log;
        qzai::setProfilingEnabled(true);
        PeerProcessor<qzai::ExternalPostprocessor_t> peer(ExchangeTransport::Shm, c.behaviour, c.options, c.timeoutMs,
                                                          c.noResponse);
        if (c.exited) {
            ASSERT_TRUE(peer.record->process->waitUntilExited(5000));
        }
        road.stage.postprocessor = peer.record.get();
        EXPECT_FALSE(qzai::ObjectsPostprocessor(road.state, road.request, {{"car", {road.car}}}, {}, nullptr));
        EXPECT_EQ(peer.record->responseWaiters->pending(), 0u);
        if (c.warning) {
            EXPECT_EQ(log.count(c.warning), 1u);
        }
        // An exited child is not even timed.
        EXPECT_EQ(log.count("[Timer] ObjectsPostprocessor::ObjectsPostprocessor"), c.exited ? 0u : 1u);
        EXPECT_EQ(road.car->snapshot().attributes.size(), 0u);
        qzai::setProfilingEnabled(false);
    }
}

TEST(ExchangeFailures, NoResponsePreprocessorsLeaveTheirInputAlone) {
    Road road;
    LogCapture log;
    PeerProcessor<qzai::ExternalPreprocessor_t> tensors(ExchangeTransport::Shm, "tensorflip", {}, 5000, true);
    tensors.record->schedule = qzai::PreprocessorSchedule::Tensor;
    road.stage.preprocessor = tensors.record.get();
    auto input = floatSet("image", {1, 3, 1, 2}, {1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(qzai::TensorsPreprocessor(*road.request, *input));
    EXPECT_EQ(floats(input->tensors[0]), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    // An image pre-processor without answers waits out its time-out (which
    // also bounds the child's acknowledgement, so it stretches as above).
    PeerProcessor<qzai::ExternalPreprocessor_t> image(ExchangeTransport::Shm, "imageflip", {},
                                                      50u * qz::test_host::slowness(), true);
    road.stage.preprocessor = image.record.get();
    const std::vector<uint8_t> bytes(12, 0);
    const qzai::VideoFrame frame(std::span<const uint8_t>(bytes), 1, 1, 0);
    EXPECT_FALSE(qzai::runImagePreprocessor(1, frame, road.stage, *road.request->details));
    EXPECT_EQ(log.count("Warning! Timed out waiting for response from preprocessor: peer-imageflip\n"), 1u);
    EXPECT_EQ(image.record->responseWaiters->pending(), 0u);
}

}  // namespace
