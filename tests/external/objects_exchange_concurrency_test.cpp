// Four cameras send their objects through one objects post-processor that
// answers in reversed batches, while a tracker thread per camera changes the
// same objects (boxes and attribute lists) under the device mutex. Each
// camera must get back only its own objects, and no race may be reported.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inference/processors/postprocessor_exchanges.h"
#include "external/processor_config.h"
#include "external/support/external_support.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kCameras = 4;
constexpr int kRounds = 40;

TEST(ObjectsExchangeConcurrency, EachCameraGetsOnlyItsOwnObjectsBackWhileTheTrackerChangesThem) {
    auto processor = std::make_shared<qzai::ExternalPostprocessor_t>();
    processor->name = "reverse";
    processor->timeoutMs = 3000;
    processor->process = qzai::ExternalProcess::create(qz::test::peerProgram(), "", {"--Behaviour", "reverse", "--k", "4"}, {});
    ASSERT_TRUE(processor->process);
    processor->receiveThread = std::jthread(qzai::processorReceiveLoop, processor->process.get(),
                                            processor->responseWaiters.get(), 200u, processor->name);
    qzai::PostprocessingState state("");
    qzai::pipeline_stage_parameters_t stage;
    stage.postprocessor = processor.get();

    std::vector<std::set<qz::sdk::Uuid>> ids(kCameras);
    std::vector<qzai::QzAIObjectList> objects(kCameras);
    for (int c = 0; c < kCameras; ++c) {
        for (int i = 0; i < 3; ++i) {
            qzai::QzAIObjectData_t data;
            data.trackId = qz::sdk::randomUuid();
            data.box = {0.1f * i, 0.1f, 0.1f, 0.1f};
            objects[c].push_back(std::make_shared<qzai::QzAIObject_t>(std::move(data)));
            ids[c].insert(objects[c].back()->data.trackId);
        }
        state.deviceTracks("cam-" + std::to_string(c))->classes["car"] = objects[c];
    }

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> foreign{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kCameras; ++c) {
        // The tracker: changes boxes and grows and shrinks attribute lists.
        threads.emplace_back([&, c] {
            auto device = state.findDeviceTracks("cam-" + std::to_string(c));
            for (int n = 0; !stop.load(); ++n) {
                std::lock_guard<std::mutex> deviceLock(device->mutex);
                for (const auto& object : device->classes["car"]) {
                    std::lock_guard<std::mutex> lock(object->mutex);
                    object->data.box.x = 0.001f * static_cast<float>(n % 100);
                    if (object->data.attributes.size() > 4) object->data.attributes.erase(object->data.attributes.begin());
                    object->data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>("n", std::to_string(n)));
                }
            }
        });
        // The camera's output worker.
        threads.emplace_back([&, c] {
            for (int r = 0; r < kRounds; ++r) {
                auto request = std::make_shared<qzai::InferenceInput_t>();
                request->timestampUs = 1000 + r;
                request->details = std::make_shared<qzai::DeviceAgentDetails_t>(
                    qzai::DeviceAgentDetails_t{"cam-" + std::to_string(c), "Camera"});
                request->stage = &stage;
                const auto result = qzai::ObjectsPostprocessor(state, request, {{"car", objects[c]}}, {}, nullptr);
                if (!result) continue;
                ++answered;
                for (const auto& [name, list] : result->objects)
                    for (const auto& object : list) foreign += ids[c].count(object->snapshot().trackId) == 0;
            }
        });
    }
    for (size_t t = 1; t < threads.size(); t += 2) threads[t].join();
    stop = true;
    for (size_t t = 0; t < threads.size(); t += 2) threads[t].join();
    EXPECT_GT(answered.load(), kCameras * kRounds / 2);
    EXPECT_EQ(foreign.load(), 0);
    EXPECT_EQ(processor->responseWaiters->pending(), 0u);
}

}  // namespace
