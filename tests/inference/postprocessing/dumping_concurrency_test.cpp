// Eight output workers run the dumping rule for two cameras while a host
// thread asks for reference runs, another reads the objects as the packet
// assembly does, and reference runs save the file racing each other and the
// final save. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/object_metadata.h"
#include "inference/postprocessing/postprocessing.h"
#include "postprocessing_fixtures.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::makeDetections;
using qzai::testing::TestCamera;

TEST(DumpingConcurrency, RuleReferenceRunsReadersAndSavesShareTheState) {
    const std::string root = ::testing::TempDir() + "dumping_concurrency_" + std::to_string(::getpid());
    std::filesystem::remove_all(root);
    TestCamera cameras[2] = {TestCamera("cam-a"), TestCamera("cam-b")};
    for (TestCamera& camera : cameras) {
        camera.stage().dumpingEnabled = true;
        camera.stage().dumpingObjectClass = "car";
        camera.stage().dumpingTimeThresholdUs = 200'000;
    }
    constexpr int kFrames = 200;
    constexpr int64_t kT0 = 1'700'000'000'000'000;
    qzai::KnownBoxes atEnd;
    {
        qzai::PostprocessingState state(root);
        std::atomic<int> next{0};
        std::atomic<bool> done{false};
        std::mutex publishedLock;
        std::vector<qzai::QzAIObjectPtr> published;  // what the packet reader sees

        auto worker = [&] {
            for (int j; (j = next.fetch_add(1)) < 2 * kFrames;) {
                const int camera = j % 2;
                const int frame = j / 2;
                // Six still cars a camera, and one that moves to a new place
                // every 20 frames, so reference runs keep finding new boxes.
                std::vector<float> rows;
                for (int o = 0; o < 6; ++o) {
                    const float x = 10.0f + 100.0f * o;
                    rows.insert(rows.end(), {x, 100, x + 60, 160, 0.9f, 0.0f});
                }
                const float y = 200.0f + 20.0f * float(frame / 20);
                rows.insert(rows.end(), {100, y, 160, y + 60, 0.9f, 0.0f});
                qzai::InferenceOutput output;
                output.request = cameras[camera].request(kT0 + int64_t(frame) * 40'000);
                output.output = makeDetections(rows);
                const auto result = qzai::Postprocessing(state, output);
                if (auto cars = result.objects.find("car"); cars != result.objects.end()) {
                    std::lock_guard<std::mutex> lock(publishedLock);
                    published.insert(published.end(), cars->second.begin(), cars->second.end());
                }
            }
        };
        // One request each before the first frame, so boxes are learned
        // however the threads are scheduled; the requester adds more.
        state.requestReferenceRun("cam-a", "model-1");
        state.requestReferenceRun("cam-b", "model-1");
        std::thread requester([&] {
            for (int r = 0; !done.load(); ++r) {
                state.requestReferenceRun(r % 2 ? "cam-a" : "cam-b", "model-1");
                std::this_thread::yield();
            }
        });
        std::thread reader([&] {
            while (!done.load()) {
                std::vector<qzai::QzAIObjectPtr> objects;
                {
                    std::lock_guard<std::mutex> lock(publishedLock);
                    objects.swap(published);
                }
                for (const auto& object : objects) {
                    const auto metadata = qzai::createObjectMetadata(*object);
                    for (int a = 0; a < metadata->attributeCount(); ++a) {
                        EXPECT_NE(metadata->attributes()[a]->value(), nullptr);
                    }
                }
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> workers;
        for (int w = 0; w < 8; ++w) workers.emplace_back(worker);
        for (auto& t : workers) t.join();
        done = true;
        requester.join();
        reader.join();
        std::lock_guard<std::mutex> lock(state.dumpingLock);
        atEnd = state.knownBoxes;
    }  // the final save

    ASSERT_FALSE(atEnd.empty());
    qzai::PostprocessingState reloaded(root);
    qzai::loadDumpingCache(reloaded);
    ASSERT_EQ(reloaded.knownBoxes.size(), atEnd.size());
    for (const auto& [device, boxes] : atEnd) EXPECT_EQ(reloaded.knownBoxes.at(device).size(), boxes.size()) << device;
    reloaded.knownBoxes.clear();
    std::filesystem::remove_all(root);
}
