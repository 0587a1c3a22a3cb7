// process_objects per frame with 20, 100 and 500 detections against 50 live
// tracks of one class, next to the bare overlap matrix of the same sizes (the
// matching's own cost) as the reference of the same run.
#include <benchmark/benchmark.h>

#include <random>

#include "../tests/inference/postprocessing/postprocessing_fixtures.h"
#include "inference/postprocessing/process_objects.h"
#include "inference/tensor_helpers.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kTracks = 50;

// Track i sits in cell i of a 10 x 5 grid of 64 x 128 px cells (640 x 640 input).
float cellX(int i) { return 64.0f * (i % 10); }
float cellY(int i) { return 128.0f * (i / 10); }

std::vector<float> detectionRows(int count) {
    std::mt19937 random(42);
    std::uniform_real_distribution<float> jitter(-6.0f, 6.0f);
    std::vector<float> rows;
    for (int i = 0; i < count; ++i) {
        const float x = cellX(i % kTracks) + 8 + jitter(random), y = cellY(i % kTracks) + 8 + jitter(random);
        rows.insert(rows.end(), {x, y, x + 48, y + 112, 0.8f, 0.0f});
    }
    return rows;
}

qzai::QzAIObjectList liveTracks() {
    qzai::QzAIObjectList tracks;
    for (int i = 0; i < kTracks; ++i) {
        qzai::QzAIObjectData_t data;
        data.trackId = qz::sdk::randomUuid();
        data.typeId = "qz.qzai.car";
        data.box = {(cellX(i) + 8) / 640, (cellY(i) + 8) / 640, 48.0f / 640, 112.0f / 640};
        tracks.push_back(std::make_shared<qzai::QzAIObject_t>(data));
    }
    return tracks;
}

void BM_ProcessObjects(benchmark::State& bench) {
    const int detections = static_cast<int>(bench.range(0));
    qzai::PostprocessingState state("");
    qzai::testing::TestCamera camera;
    const auto set = qzai::testing::makeDetections(detectionRows(detections));
    const auto device = state.deviceTracks("cam-1");
    const auto tracks = liveTracks();
    int64_t now = 0;
    for (auto _ : bench) {
        bench.PauseTiming();
        // Back to the same 50 tracks, last seen one frame ago.
        now += 40000;
        for (const auto& track : tracks) track->data.lastSeenUs = now - 40000;
        device->classes["car"] = tracks;
        const auto request = camera.request(now);
        bench.ResumeTiming();
        benchmark::DoNotOptimize(qzai::process_objects(state, request, set.get()));
    }
    bench.SetItemsProcessed(bench.iterations() * detections);
}

void BM_OverlapMatrixReference(benchmark::State& bench) {
    const int detections = static_cast<int>(bench.range(0));
    const auto rows = detectionRows(detections);
    const auto tracks = liveTracks();
    std::vector<qzai::BoxXywh> boxes;
    for (int i = 0; i < detections; ++i) {
        const float* r = &rows[size_t(i) * 6];
        boxes.push_back({r[0] / 640, r[1] / 640, (r[2] - r[0]) / 640, (r[3] - r[1]) / 640});
    }
    for (auto _ : bench) {
        float sum = 0.0f;
        for (const auto& track : tracks)
            for (const auto& box : boxes) sum += qzai::computeIoU(box, track->data.box);
        benchmark::DoNotOptimize(sum);
    }
    bench.SetItemsProcessed(bench.iterations() * detections);
}

}  // namespace

BENCHMARK(BM_ProcessObjects)->Arg(20)->Arg(100)->Arg(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OverlapMatrixReference)->Arg(20)->Arg(100)->Arg(500)->Unit(benchmark::kMicrosecond);
