// Eight producers against a runtime that answers out of order, with engine
// restarts between rounds while requests are still in flight. Every request
// the runtime accepted must come back exactly once, matched to its own
// request, or be freed by the restart.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "common/messaging_manager.h"
#include "inference/inference_engine.h"
#include "inference/support/engine_test_env.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kProducers = 8;
constexpr int kPerProducer = 150;
constexpr int kRounds = 3;

TEST(InferenceEngineConcurrency, ProducersOutOfOrderAnswersAndRestartsLoseNothing) {
    engine_test::EngineTestEnv env;
    env.writeRuntimeArgs({{"latency_jitter_ms", "3"}, {"seed", "11"}});
    auto model = env.makeModel("a", R"({"mode":"echo"})");
    qzai::OutputQueue queue;
    qzai::MessagingManager notices;
    auto engine = std::make_unique<qzai::InferenceEngine>(env.root(), qzai::ModelMap{{"a", model}}, queue, notices);
    ASSERT_EQ(engine->state(), 7);

    std::vector<std::weak_ptr<qzai::InferenceInput_t>> requests;  // filled by the main thread only
    std::mutex receivedMutex;
    std::set<int64_t> received;
    bool mismatch = false;
    std::atomic<bool> consuming{true};
    std::thread consumer([&] {
        while (consuming.load() || queue.count.load() > 0) {
            auto out = engine_test::popOutput(queue, std::chrono::milliseconds(20));
            if (!out) continue;
            const int64_t ts = out->request->timestampUs;
            const float echoed = *static_cast<const float*>(out->output->tensors[0].data);
            std::lock_guard<std::mutex> lock(receivedMutex);
            mismatch |= echoed != static_cast<float>(ts) || !received.insert(ts).second;
        }
    });

    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::shared_ptr<qzai::InferenceInput_t>> batch;
        for (int i = 0; i < kProducers * kPerProducer; ++i) {
            batch.push_back(engine_test::makeRequest(model, "camera-" + std::to_string(i % kProducers),
                (round * kProducers * kPerProducer) + i));
            requests.push_back(batch.back());
        }
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                for (int i = p; i < kProducers * kPerProducer; i += kProducers) {
                    // Room in the engine is not room in the queue: outputs
                    // leave the in-flight count before they are queued, and a
                    // consumer slowed down by a busy machine must not make the
                    // queue drop any. Every request in flight, in transit or
                    // being sent by another producer fits in the queue.
                    while (!engine->hasInputRoom() ||
                           queue.count.load() + static_cast<size_t>(engine->inFlight()) + kProducers + 1 >
                               qzai::OutputQueue::capacity)
                        std::this_thread::yield();
                    engine->recordInputTime(*batch[i]->details);
                    const float value = static_cast<float>(batch[i]->timestampUs);
                    engine->sendInput(std::move(batch[i]), engine_test::makeInput(value));
                }
            });
        }
        for (auto& t: producers) t.join();
        // Restart with a changed model while answers are still due.
        model->lastModified = std::to_string(round + 2);
        engine->start({{"a", model}});
        ASSERT_EQ(engine->state(), 7);
    }
    engine.reset();
    consuming = false;
    consumer.join();

    const TestRuntimeStats stats = env.stats();
    EXPECT_FALSE(mismatch);
    EXPECT_EQ(received.size(), stats.outputsDelivered);
    EXPECT_EQ(stats.enqueueAccepted, stats.inputsFreed);
    EXPECT_EQ(stats.enqueueAccepted, static_cast<uint64_t>(kRounds * kProducers * kPerProducer));
    EXPECT_GE(stats.maxConcurrentEnqueue, 2u);
    for (const auto& request: requests) EXPECT_TRUE(request.expired());
}

}  // namespace
