// The frame rules after tracking (masks per class, throughput, category,
// line crossing, counting) for one frame of 100 reported objects in two
// classes on one device, timed in the same loop as the tracker step
// (process_objects with the same 100 detections against 100 live tracks).
// Counters: rules_vs_tracker (rules / tracker time, aim <= 1.0) and each
// rule's share of the rules' time in percent.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <unistd.h>

#include "../tests/inference/postprocessing/postprocessing_fixtures.h"
#include "common/log.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/line_crossing.h"
#include "inference/postprocessing/object_counting.h"
#include "inference/postprocessing/process_objects.h"
#include "inference/postprocessing/region_masks.h"
#include "inference/postprocessing/throughput_events.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kObjects = 100;  // a 10 x 10 grid of 64 px cells over the 640 px input

// A 12-vertex polygon around (cx, cy); every second vertex pulled in to
// `inner` of the radius makes it concave.
qzai::InputMask_t polygon(int32_t type, float cx, float cy, float radius, float inner) {
    qzai::InputMask_t mask{type, {}};
    for (int i = 0; i < 12; ++i) {
        const float r = i % 2 ? radius * inner : radius;
        const float a = static_cast<float>(i) * 3.14159265f / 6.0f;
        mask.points.push_back(cx + r * std::cos(a));
        mask.points.push_back(cy + r * std::sin(a));
    }
    return mask;
}

std::vector<float> detectionRows() {
    std::vector<float> rows;
    for (int i = 0; i < kObjects; ++i) {
        const float x = 64.0f * (i % 10) + 8, y = 64.0f * (i / 10) + 8;
        rows.insert(rows.end(), {x, y, x + 48, y + 48, 0.8f, float(i % 2)});
    }
    return rows;
}

using Clock = std::chrono::steady_clock;

struct Stopwatch {
    Clock::time_point last = Clock::now();
    double lap() {
        const auto now = Clock::now();
        const double us = std::chrono::duration<double, std::micro>(now - last).count();
        last = now;
        return us;
    }
};

// Puts the warmed-up tracks back before a timed frame at `now`, each last
// seen one frame (40 ms) earlier, so every frame meets the same live tracks.
void restoreTracks(qzai::DeviceTracks_t& device, const qzai::ObjectsByClass& tracks, int64_t now) {
    device.classes = tracks;
    for (const auto& [name, list] : tracks)
        for (const auto& object : list) object->data.lastSeenUs = now - 40000;
}

void BM_RulesAgainstTracker(benchmark::State& bench) {
    const int verbosity = qzai::logVerbosity();
    qzai::setLogVerbosity(0);  // the throughput rule's engine line
    qzai::PostprocessingState state("");
    qzai::testing::TestCamera camera;
    auto& stage = camera.stage();
    for (int m = 0; m < 4; ++m) {
        const float cx = m % 2 ? 0.75f : 0.25f, cy = m < 2 ? 0.25f : 0.75f;
        stage.masks.push_back(polygon(0, cx, cy, 0.4f, m % 2 ? 0.8f : 1.0f));
    }
    for (int m = 0; m < 4; ++m)
        stage.masks.push_back(polygon(1, 0.15f + 0.25f * m, 0.5f, 0.04f, m % 2 ? 0.5f : 1.0f));
    stage.lineCrossingEnabled = true;
    stage.lineX1 = 0.5f, stage.lineY1 = 0.0f, stage.lineX2 = 0.5f, stage.lineY2 = 1.0f;
    std::string scoresName = "scores-";
    std::vector<float> scores;
    for (int c = 0; c < 80; ++c) {
        scoresName += (c ? ";" : "") + std::to_string(c) + ":class" + std::to_string(c);
        camera.model().scoresClasses.push_back("class" + std::to_string(c));
        scores.push_back(static_cast<float>((c * 37) % 80) / 80.0f);
    }
    camera.model().scoresOutputName = scoresName;
    const auto set =
        qzai::testing::makeTensorSet({{qzai::testing::kDetectionName, detectionRows()}, {scoresName, scores}});

    // Warm the tracker up to 100 reported tracks, then reuse them each frame.
    int64_t now = 0;
    for (; now <= 200000; now += 40000) qzai::process_objects(state, camera.request(now), set.get());
    const auto device = state.deviceTracks("cam-1");
    const qzai::ObjectsByClass tracks = device->classes;

    double trackerUs = 0, masksUs = 0, throughputUs = 0, scoresUs = 0, lineUs = 0, countingUs = 0;
    size_t reported = 0, kept = 0;
    for (auto _ : bench) {
        bench.PauseTiming();
        now += 40000;
        restoreTracks(*device, tracks, now);
        qzai::InferenceOutput output;
        output.request = camera.request(now);
        output.reportThroughput = true;
        output.engineInputRate = output.deviceInputRate = output.engineOutputRate = output.deviceOutputRate = 25.0;
        bench.ResumeTiming();

        Stopwatch watch;
        const qzai::ObjectsByClass objects = qzai::process_objects(state, output.request, set.get());
        trackerUs += watch.lap();
        qzai::ObjectsByClass filtered;
        for (const auto& [name, list] : objects) {
            qzai::QzAIObjectList passed = qzai::filterObjectsByMask(list, stage.masks);
            if (!passed.empty()) filtered.emplace(name, std::move(passed));
        }
        masksUs += watch.lap();
        benchmark::DoNotOptimize(qzai::reportThroughput(state, output));
        throughputUs += watch.lap();
        benchmark::DoNotOptimize(qzai::processScores(state, output.request, set.get()));
        scoresUs += watch.lap();
        benchmark::DoNotOptimize(qzai::detectLineCrossing(state, output.request, filtered));
        lineUs += watch.lap();
        benchmark::DoNotOptimize(qzai::countObjects(state, output.request, filtered));
        countingUs += watch.lap();

        for (const auto& [name, list] : objects) reported += list.size();
        for (const auto& [name, list] : filtered) kept += list.size();
    }
    const double rulesUs = masksUs + throughputUs + scoresUs + lineUs + countingUs;
    const double n = static_cast<double>(bench.iterations());
    bench.counters["rules_vs_tracker"] = rulesUs / trackerUs;
    bench.counters["tracker_us"] = trackerUs / n;
    bench.counters["rules_us"] = rulesUs / n;
    bench.counters["masks_pct"] = 100.0 * masksUs / rulesUs;
    bench.counters["throughput_pct"] = 100.0 * throughputUs / rulesUs;
    bench.counters["category_pct"] = 100.0 * scoresUs / rulesUs;
    bench.counters["line_pct"] = 100.0 * lineUs / rulesUs;
    bench.counters["counting_pct"] = 100.0 * countingUs / rulesUs;
    bench.counters["reported"] = static_cast<double>(reported) / n;
    bench.counters["kept"] = static_cast<double>(kept) / n;
    qzai::setLogVerbosity(verbosity);
}

// The dumping rule for 20 watched objects that already have candidates,
// against 50 known boxes of the device (none overlapping them, so every box
// is compared), timed in the same loop as the tracker step with 100
// detections against 100 tracks. Counters: dumping_vs_tracker (aim <= 0.5)
// and save_us, how long a save after a reference run (50 boxes, synced to
// disk) holds its output worker.
//
// With an argument, that many further objects were watched before (one a
// frame, 40 ms apart, under a one-day threshold that keeps them all), and a
// second state with only the 20 is timed in the same loop: the counter
// dumping_vs_20_candidates (aim <= 2) is the rule's time against it.
void BM_DumpingAgainstTracker(benchmark::State& bench) {
    const std::string root = "/tmp/qzai_dumping_bench_" + std::to_string(::getpid());
    const int64_t earlier = bench.range(0);
    qzai::PostprocessingState state(root);
    qzai::PostprocessingState few("");
    qzai::testing::TestCamera camera;
    camera.stage().dumpingEnabled = true;
    camera.stage().dumpingObjectClass = "car";
    camera.stage().dumpingTimeThresholdUs = (earlier ? 86400LL : 3600LL) * 1000000LL;  // no alert: the steady state
    for (int b = 0; b < 50; ++b) {
        const qzai::BoxXywh box{0.02f * float(b % 10), 0.9f, 0.015f, 0.015f + 0.001f * float(b / 10)};
        state.knownBoxes["cam-1"].push_back(box);
        few.knownBoxes["cam-1"].push_back(box);
    }
    int64_t now = 1'700'000'000'000'000;
    for (int64_t i = 0; i < earlier; ++i, now += 40000) {
        qzai::QzAIObjectData_t data;
        data.trackId = qz::sdk::randomUuid();
        data.box = {0.5f, 0.5f, 0.04f, 0.04f};
        qzai::detectDumping(state, camera.request(now), {{"car", {std::make_shared<qzai::QzAIObject_t>(data)}}});
    }
    qzai::QzAIObjectList watched;
    for (int i = 0; i < 20; ++i) {
        qzai::QzAIObjectData_t data;
        data.trackId = qz::sdk::randomUuid();
        data.box = {0.05f * float(i % 10), 0.1f + 0.2f * float(i / 10), 0.04f, 0.04f};
        watched.push_back(std::make_shared<qzai::QzAIObject_t>(std::move(data)));
    }
    const qzai::ObjectsByClass objects = {{"car", watched}};

    const auto set = qzai::testing::makeTensorSet({{qzai::testing::kDetectionName, detectionRows()}});
    for (int f = 0; f < 6; ++f, now += 40000) {
        qzai::process_objects(state, camera.request(now), set.get());
        qzai::detectDumping(state, camera.request(now), objects);
        qzai::detectDumping(few, camera.request(now), objects);
    }
    const auto device = state.deviceTracks("cam-1");
    const qzai::ObjectsByClass tracks = device->classes;

    double trackerUs = 0, dumpingUs = 0, fewUs = 0;
    for (auto _ : bench) {
        bench.PauseTiming();
        now += 40000;
        restoreTracks(*device, tracks, now);
        const auto request = camera.request(now);
        bench.ResumeTiming();

        Stopwatch watch;
        benchmark::DoNotOptimize(qzai::process_objects(state, request, set.get()));
        trackerUs += watch.lap();
        benchmark::DoNotOptimize(qzai::detectDumping(state, request, objects));
        dumpingUs += watch.lap();
        if (earlier) {
            benchmark::DoNotOptimize(qzai::detectDumping(few, request, objects));
            fewUs += watch.lap();
        }
    }

    double saveUs = 0;
    constexpr int kSaves = 20;
    for (int i = 0; i < kSaves; ++i) {
        {
            std::lock_guard<std::mutex> lock(state.dumpingLock);
            ++state.knownBoxesGeneration;
        }
        Stopwatch watch;
        qzai::saveDumpingCache(state);
        saveUs += watch.lap();
    }
    state.knownBoxes.clear();
    few.knownBoxes.clear();  // nothing to save on destruction
    std::filesystem::remove_all(root);

    const double n = static_cast<double>(bench.iterations());
    bench.counters["dumping_vs_tracker"] = dumpingUs / trackerUs;
    bench.counters["tracker_us"] = trackerUs / n;
    bench.counters["dumping_us"] = dumpingUs / n;
    bench.counters["save_us"] = saveUs / kSaves;
    if (earlier) {
        bench.counters["dumping_vs_20_candidates"] = dumpingUs / fewUs;
        bench.counters["candidates"] = static_cast<double>(state.dumpingCandidates["cam-1"].size());
    }
}

}  // namespace

BENCHMARK(BM_RulesAgainstTracker)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DumpingAgainstTracker)->Arg(0)->Arg(100000)->Unit(benchmark::kMicrosecond);
