// Stage chaining costs, each against a reference measured in the same run.
//
// BM_ChainedFrame1080p: process CPU time per 1080p frame of a detect parent
// with 10 stable objects (canned rows, warmed up until the tracker reports
// them) and a FeatureExtraction child (classify, 64 x 64, Stretch) on all 10,
// against the same parent alone on the frame road (the road a parent with
// such children must take) and, for information, alone on the direct road;
// N = 16, test runtime at zero latency, one camera pushing a frame once the
// previous one's packets came back and its workers finished; the three
// pipelines take turns frame by frame. Counters: cpu_us (chained), parent_us
// (frame road alone), chain_vs_parent, children_per_frame (child requests
// per measured frame, 10), direct_us and chain_vs_direct.
//
// BM_DirectDeepCopy: the deep copy handed to a Direct child of a
// [1, 84, 8400] float32 set against malloc plus memcpy of the same bytes.
// Counters: copy_us, reference_us, copy_vs_reference.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "common/messaging_manager.h"
#include "inference/chain_tensors.h"
#include "inference/inference_manager.h"
#include "inference/support/engine_test_env.h"
#include "inference/support/manager_fixture.h"
#include "manager_bench_support.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

using manager_bench::processCpuUs;

using namespace std::chrono_literals;
constexpr int kModelSide = 640;
constexpr int kObjects = 10;

// One camera over one pipeline: its frames, its deliveries and its counts.
struct Feed {
    Feed(std::shared_ptr<const qzai::DeviceAgentSettings_t> pipeline, uint64_t perFrame, std::string id)
        : settings(std::move(pipeline)), deliveriesPerFrame(perFrame), deviceId(std::move(id)) {}

    std::shared_ptr<const qzai::DeviceAgentSettings_t> settings;
    uint64_t deliveriesPerFrame = 1;  // parent packet plus one per child
    std::string deviceId;
    manager_bench::DeliveryCounter camera;
    double cpuUs = 0.0;
    uint64_t frames = 0;
};

std::vector<qz::test_host::Square> tenSquares() {
    std::vector<qz::test_host::Square> squares;
    for (int i = 0; i < kObjects; ++i) squares.push_back({100 + (i % 5) * 340, 150 + (i / 5) * 500, 200, 235});
    return squares;
}

// Pushes one frame and waits until its packets came back and every worker
// is done; with `measured`, adds the process CPU time to the feed.
bool runFrame(qzai::InferenceManager& manager, Feed& feed,
              const qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame>& frame, bool measured) {
    const auto details = manager_test::makeDetails(feed.deviceId);
    const uint64_t target = feed.camera.count() + feed.deliveriesPerFrame;
    const double start = processCpuUs();
    manager.sendInputMessage(frame, feed.settings, details, feed.camera.callback());
    const bool complete = feed.camera.waitFor(target, measured ? 1000ms : 200ms);
    manager.waitForWorkers();
    if (measured) {
        feed.cpuUs += processCpuUs() - start;
        ++feed.frames;
    }
    return complete;
}

void BM_ChainedFrame1080p(benchmark::State& state) {
    qzai::setLogVerbosity(0);
    engine_test::EngineTestEnv env;
    env.writeRuntimeArgs({});
    // Ten boxes in model-input pixels (fit of 1920 x 1080 into 640 x 640).
    std::vector<std::array<float, 6>> rows;
    for (int i = 0; i < kObjects; ++i) {
        const float x = 33.0f + (i % 5) * 113.0f, y = 190.0f + (i / 5) * 167.0f;
        rows.push_back({x, y, x + 67.0f, y + 67.0f, 0.9f, 0.0f});
    }
    auto parent = env.makeModel(
        "m0", nlohmann::json{{"mode", "detect"}, {"output_name", "bboxes-format:xyxysc;0:square"}, {"rows", rows}}.dump());
    manager_test::describeImageInput(*parent, kModelSide);
    auto child = env.makeModel("m1", nlohmann::json{{"mode", "classify"},
                                                    {"output_name", "bboxes-format:xyxysc;0:dim;1:bright"},
                                                    {"levels", {185}}}.dump());
    manager_test::describeImageInput(*child, 64, {"dim", "bright"});
    qzai::MessagingManager notices;
    qzai::InferenceManager manager(env.root(), "", notices, 16);
    manager.start(manager_test::modelMap({parent, child}));

    auto directRoad = manager_test::makeSettings({parent});
    auto frameRoad = manager_test::makeSettings({parent}, {true});
    auto chained = std::make_shared<qzai::DeviceAgentSettings_t>(*frameRoad);
    {
        qzai::pipeline_stage_parameters_t stage;
        stage.key = parent->id + child->id;
        stage.model = child;
        stage.chainMethod = qzai::ChainMethod::FeatureExtraction;
        stage.featureExtractionClass = "square";
        stage.resizingMethod = qzai::ResizingMethod::Stretch;
        stage.classVisualisation = {{"dim", true}, {"bright", true}};
        chained->stages.front().children.push_back(stage);
    }

    Feed chain{chained, 1 + kObjects, "chained"};
    Feed parentAlone{frameRoad, 1, "frame-road"};
    Feed direct{directRoad, 1, "direct-road"};
    // Warm-up: each camera's frames come 40 ms of camera time apart until
    // the tracker reports all its objects (and the children theirs).
    int64_t timestampUs = 0;
    for (Feed* feed : {&chain, &parentAlone, &direct}) {
        for (int warm = 0; warm < 100; ++warm) {
            if (runFrame(manager, *feed, manager_test::makeFrame(1920, 1080, timestampUs += 40'000, tenSquares()),
                         false))
                break;
        }
    }
    // Measured: one ready-made frame (the tracks stay reported), the three
    // pipelines taking turns frame by frame.
    const auto steady = manager_test::makeFrame(1920, 1080, timestampUs + 40'000, tenSquares());
    constexpr int kFrames = 40;
    const uint64_t childrenBefore = env.stats().enqueueAcceptedByModel[1];
    for (auto _ : state) {
        for (int f = 0; f < kFrames; ++f)
            for (Feed* feed : {&chain, &parentAlone, &direct}) runFrame(manager, *feed, steady, true);
    }
    auto perFrame = [](const Feed& feed) { return feed.frames ? feed.cpuUs / static_cast<double>(feed.frames) : 0.0; };
    const double cpuUs = perFrame(chain), parentUs = perFrame(parentAlone), directUs = perFrame(direct);
    state.counters["cpu_us"] = cpuUs;
    state.counters["parent_us"] = parentUs;
    state.counters["chain_vs_parent"] = parentUs > 0 ? cpuUs / parentUs : 0.0;
    state.counters["children_per_frame"] =
        chain.frames ? static_cast<double>(env.stats().enqueueAcceptedByModel[1] - childrenBefore) /
                           static_cast<double>(chain.frames)
                     : 0.0;
    state.counters["direct_us"] = directUs;
    state.counters["chain_vs_direct"] = directUs > 0 ? cpuUs / directUs : 0.0;
}
BENCHMARK(BM_ChainedFrame1080p)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DirectDeepCopy(benchmark::State& state) {
    const int32_t shape[3] = {1, 84, 8400};
    const size_t bytes = sizeof(float) * 84 * 8400;
    qzai::TensorSetPtr set(static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet))));
    set->count = 1;
    set->tensors = static_cast<Tensor*>(std::calloc(1, sizeof(Tensor)));
    Tensor& t = set->tensors[0];
    t.name = strdup("output0");
    t.elementType = QZ_ELEMENT_FLOAT32;
    t.rank = 3;
    t.shape = static_cast<int32_t*>(std::malloc(sizeof shape));
    std::memcpy(t.shape, shape, sizeof shape);
    t.byteSize = bytes;
    t.data = std::malloc(bytes);
    std::memset(t.data, 0x3f, bytes);

    constexpr int kRounds = 50;
    double copyUs = 0, referenceUs = 0;
    for (auto _ : state) {
        // Alternating, so neither gains from the other's warm allocator.
        for (int r = 0; r < kRounds; ++r) {
            double start = processCpuUs();
            qzai::TensorSetPtr copy = qzai::copyTensorSet(*set);
            benchmark::DoNotOptimize(copy.get());
            copy.reset();
            copyUs += processCpuUs() - start;
            start = processCpuUs();
            void* block = std::malloc(bytes);
            std::memcpy(block, t.data, bytes);
            benchmark::DoNotOptimize(block);
            std::free(block);
            referenceUs += processCpuUs() - start;
        }
    }
    state.counters["copy_us"] = copyUs / (kRounds * state.iterations());
    state.counters["reference_us"] = referenceUs / (kRounds * state.iterations());
    state.counters["copy_vs_reference"] = referenceUs > 0 ? copyUs / referenceUs : 0.0;
}
BENCHMARK(BM_DirectDeepCopy)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
