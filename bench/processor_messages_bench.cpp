// The two large messages: an image request of a 1920x1080 float frame
// (24,883,200 bytes of pixels) and the reading of a 640x640x3 float tensors
// response (4,915,200 bytes). The reference is allocating a buffer and
// copying the same bytes into it in the same run; each message reports
// "x_alloc_copy", its time over the reference's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "inference/processors/processor_messages.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int64_t kFrameBytes = 1920 * 1080 * 12;
constexpr int64_t kTensorBytes = 640 * 640 * 3 * 4;
std::map<int64_t, double> g_referenceSeconds;  // per byte count

double seconds(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

void report(benchmark::State& state, double elapsed, int64_t bytes) {
    const auto reference = g_referenceSeconds.find(bytes);
    if (reference != g_referenceSeconds.end() && state.iterations() > 0 && reference->second > 0) {
        state.counters["x_alloc_copy"] = elapsed / static_cast<double>(state.iterations()) / reference->second;
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_AllocCopy(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> source(size, 7);
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        void* copy = std::malloc(size);
        std::memcpy(copy, source.data(), size);
        benchmark::DoNotOptimize(copy);
        std::free(copy);
    }
    g_referenceSeconds[state.range(0)] = seconds(begin) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AllocCopy)->Arg(kFrameBytes)->Arg(kTensorBytes)->Unit(benchmark::kMicrosecond);

void BM_SerializeImageMessage(benchmark::State& state) {
    std::vector<uint8_t> pixels(kFrameBytes, 7);
    const std::map<std::string, std::string> settings{{"threshold", "0.5"}};
    qzai::ImageMessageView view;
    view.timestamp = 1700000000000000;
    view.deviceId = "e3e9a385-7fe0-3ba5-5482-a86cde7faf48";
    view.deviceName = "Gate";
    view.width = 1920;
    view.height = 1080;
    view.layout = 1;
    view.data = pixels;
    view.userSettings = &settings;
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto message = qzai::serializeImageMessage(view);
        benchmark::DoNotOptimize(message);
    }
    report(state, seconds(begin), kFrameBytes);
}
BENCHMARK(BM_SerializeImageMessage)->Unit(benchmark::kMicrosecond);

void BM_ParseTensorsMessage(benchmark::State& state) {
    std::vector<uint8_t> data(kTensorBytes, 7);
    int32_t shape[4] = {1, 3, 640, 640};
    char name[] = "images";
    Tensor tensor{name, 1, 4, shape, static_cast<uint64_t>(kTensorBytes), data.data()};
    TensorSet set{0, 1, &tensor};
    qzai::InferenceInput_t request;
    request.details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-1", "Gate"});
    const auto message = qzai::serializeTensorsMessage(request, set, {});
    if (!message) {
        state.SkipWithError("serialize failed");
        return;
    }
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto parsed = qzai::parseTensorsMessage(message->data.get(), message->size);
        benchmark::DoNotOptimize(parsed);
    }
    report(state, seconds(begin), kTensorBytes);
}
BENCHMARK(BM_ParseTensorsMessage)->Unit(benchmark::kMicrosecond);

}  // namespace
