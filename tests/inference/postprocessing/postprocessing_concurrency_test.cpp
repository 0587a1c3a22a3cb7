// Eight output workers post-process frames of the same two cameras in
// shuffled order while reading the shared objects the way the packet
// assembly and the rules do (snapshots, metadata, attribute changes under the
// object's lock). Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <thread>

#include "inference/postprocessing/object_metadata.h"
#include "inference/postprocessing/postprocessing.h"
#include "postprocessing_fixtures.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qzai::testing::makeDetections;
using qzai::testing::TestCamera;

TEST(PostprocessingConcurrency, WorkersShareCamerasAndObjectsOutOfOrder) {
    qzai::PostprocessingState state("");
    const TestCamera cameras[2] = {TestCamera("cam-a"), TestCamera("cam-b")};
    constexpr int kFrames = 120;
    constexpr int kWorkers = 8;

    // Frame jobs of both cameras, 40 ms apart, handed out in shuffled order.
    std::vector<std::pair<int, int>> jobs;
    for (int f = 0; f < kFrames; ++f)
        for (int c = 0; c < 2; ++c) jobs.emplace_back(c, f);
    std::shuffle(jobs.begin(), jobs.end(), std::mt19937(1234));
    std::atomic<size_t> next{0};
    std::atomic<size_t> reported{0};

    auto worker = [&] {
        for (size_t j; (j = next.fetch_add(1)) < jobs.size();) {
            const auto [camera, f] = jobs[j];
            std::vector<float> rows;
            for (int o = 0; o < 4; ++o) {
                const float x = 20.0f + 120.0f * o + 2.0f * f;
                rows.insert(rows.end(), {x, 100, x + 80, 180, 0.9f, float(o % 2)});
            }
            qzai::InferenceOutput output;
            output.request = cameras[camera].request(int64_t(f) * 40000);
            output.output = makeDetections(rows);
            const auto result = qzai::Postprocessing(state, output);
            for (const auto& [name, objects] : result.objects) {
                for (const auto& object : objects) {
                    ++reported;
                    const auto metadata = qzai::createObjectMetadata(*object);
                    EXPECT_TRUE(std::isfinite(metadata->boundingBox().x));
                    std::lock_guard<std::mutex> lock(object->mutex);  // as a rule adding an attribute
                    auto& attributes = object->data.attributes;
                    if (attributes.size() > 2) attributes.erase(attributes.begin());
                    attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>("Stationary time", "1 s"));
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) threads.emplace_back(worker);
    for (int r = 0; r < 50; ++r) state.requestReferenceRun(r % 2 ? "cam-a" : "cam-b", "model-1");
    for (auto& t : threads) t.join();

    EXPECT_GT(reported.load(), 0u);
    for (const char* device : {"cam-a", "cam-b"}) {
        const auto tracks = state.findDeviceTracks(device);
        ASSERT_NE(tracks, nullptr);
        std::lock_guard<std::mutex> lock(tracks->mutex);
        for (const auto& [name, list] : tracks->classes) EXPECT_LE(list.size(), 102u) << device << " " << name;
    }
}

TEST(PostprocessingConcurrency, APreparedAgainModelNeverChangesUnderAnOutput) {
    qzai::PostprocessingState state("");
    TestCamera camera("cam-a");
    auto names = [](std::vector<std::string> classes) {
        auto preparation = std::make_shared<qzai::ModelPreparation>();
        preparation->detectionClasses = std::move(classes);
        return std::shared_ptr<const qzai::ModelPreparation>(preparation);
    };
    const auto vehicles = names({"bus", "truck"});
    const auto people = names({"car", "person"});
    std::atomic<bool> done{false};
    // The engine preparing the model again (a retry) while outputs are decoded.
    std::thread retry([&] {
        for (int i = 0; !done; ++i) camera.model().setPreparation(i % 2 ? vehicles : people);
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (int f = 0; f < 60; ++f) {
                qzai::InferenceOutput output;
                output.request = camera.request(int64_t(w * 1000 + f) * 40000);
                output.output = makeDetections({20, 100, 100, 180, 0.9f, 0, 300, 100, 380, 180, 0.9f, 1});
                const auto result = qzai::Postprocessing(state, output);
                std::set<std::string> classes;
                for (const auto& [name, objects] : result.objects) classes.insert(name);
                const bool oneSet = std::all_of(classes.begin(), classes.end(),
                                                [](const std::string& c) { return c == "bus" || c == "truck"; }) ||
                                    std::all_of(classes.begin(), classes.end(),
                                                [](const std::string& c) { return c == "car" || c == "person"; });
                EXPECT_TRUE(oneSet);
            }
        });
    }
    for (auto& t : workers) t.join();
    done = true;
    retry.join();
}
