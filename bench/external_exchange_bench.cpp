// Whole external exchanges against the test peer over shared memory, each
// paired with the work no exchange can avoid, in the same run:
// - an image pre-processor exchange of a 1920x1080 float frame (echoed by the
//   peer, which copies it once, from the request segment into the response
//   segment) against one memcpy of the frame's 24,883,200 bytes
//   ("ratio_memcpy" = exchange / copy; the exchange copies the frame three
//   times in all, one after the other), with the minor page faults of this
//   process (every thread) and of the peer per exchange
//   ("faults_per_exchange", "peer_faults_per_exchange") and in the two
//   untimed exchanges that grow the segments and the pool of answer buffers
//   ("warmup_faults", "warmup_peer_faults");
// - an objects post-processor exchange of 20 objects (echoed) against writing
//   the request and applying the same bytes as the answer in this process
//   ("ratio_in_process" = exchange / in-process).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "inference/processors/postprocessor_exchanges.h"
#include "inference/processors/preprocessor_exchanges.h"
#include "external/processor_config.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "inference/video_frame.h"
#include "paired_timing.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

// Minor page faults of this process so far, all threads.
double processFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_minflt);
}

// Minor page faults of another process so far (field 10 of its stat line).
double faultsOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(file, line);
    const size_t end = line.rfind(')');  // the name may hold spaces
    if (end == std::string::npos) return 0.0;
    std::istringstream rest(line.substr(end + 2));
    std::string field;
    for (int i = 3; i <= 10 && rest >> field; ++i) {
    }
    return std::strtod(field.c_str(), nullptr);
}

template <class Record>
std::shared_ptr<Record> echoPeer() {
    auto record = std::make_shared<Record>();
    record->name = "echo";
    record->timeoutMs = 10000;
    record->process = qzai::ExternalProcess::create(QZ_PEER_PROGRAM, "", {"--Behaviour", "echo"}, {});
    if (record->process)
        record->receiveThread = std::jthread(qzai::processorReceiveLoop, record->process.get(),
                                             record->responseWaiters.get(), 200u, record->name);
    return record;
}

void BM_ImagePreprocessor1080p(benchmark::State& state) {
    auto peer = echoPeer<qzai::ExternalPreprocessor_t>();
    if (!peer->process) return state.SkipWithError("no peer");
    qzai::pipeline_stage_parameters_t stage;
    stage.preprocessor = peer.get();
    const qzai::DeviceAgentDetails_t details{"cam-1", "Gate"};
    const std::vector<uint8_t> pixels(1920ull * 1080 * 12, 7);
    const qzai::VideoFrame frame(std::span<const uint8_t>(pixels), 1920, 1080, 1);
    std::vector<uint8_t> copy(pixels.size());
    // Microseconds since the epoch, as frames carry: every request has the
    // same size.
    int64_t timestamp = 1'700'000'000'000'000;
    const pid_t peerPid = peer->process->processId();
    // The first two exchanges wait for the peer to be ready, grow both
    // segments and fill the processor's pool with the two answer buffers the
    // loop below takes turns with, once in the processor's life: not timed,
    // their faults apart. On the road a worker still preprocesses one answer
    // while the next frame is exchanged, so each answer lives until the next
    // one is made.
    const double warmupFaults = processFaults();
    const double warmupPeerFaults = faultsOf(peerPid);
    auto first = qzai::runImagePreprocessor(++timestamp, frame, stage, details);
    std::shared_ptr<qzai::VideoFrame> previous = qzai::runImagePreprocessor(++timestamp, frame, stage, details);
    if (!first || !previous) return state.SkipWithError("no answer");
    first.reset();
    state.counters["warmup_faults"] = processFaults() - warmupFaults;
    state.counters["warmup_peer_faults"] = faultsOf(peerPid) - warmupPeerFaults;
    const double faults = processFaults();
    const double peerFaults = faultsOf(peerPid);
    bench_pairs::timePaired(
        state,
        [&] {
            auto flipped = qzai::runImagePreprocessor(++timestamp, frame, stage, details);
            if (!flipped) state.SkipWithError("no answer");
            benchmark::DoNotOptimize(flipped);
            previous = std::move(flipped);
        },
        {{"memcpy",
          [&] {
              std::memcpy(copy.data(), pixels.data(), pixels.size());
              benchmark::ClobberMemory();
          },
          true}});
    if (state.iterations() > 0) {
        const double exchanges = static_cast<double>(state.iterations());
        state.counters["faults_per_exchange"] = (processFaults() - faults) / exchanges;
        state.counters["peer_faults_per_exchange"] = (faultsOf(peerPid) - peerFaults) / exchanges;
    }
}
BENCHMARK(BM_ImagePreprocessor1080p)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ObjectsPostprocessor20(benchmark::State& state) {
    auto peer = echoPeer<qzai::ExternalPostprocessor_t>();
    if (!peer->process) return state.SkipWithError("no peer");
    qzai::PostprocessingState postprocessing("");
    qzai::pipeline_stage_parameters_t stage;
    stage.postprocessor = peer.get();
    auto request = std::make_shared<qzai::InferenceInput_t>();
    request->timestampUs = 1000;
    request->details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam-1", "Gate"});
    request->stage = &stage;
    qzai::ObjectsByClass objects;
    for (int i = 0; i < 20; ++i) {
        qzai::QzAIObjectData_t data;
        data.trackId = qz::sdk::randomUuid();
        data.box = {0.01f * i, 0.2f, 0.1f, 0.1f};
        data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>("colour", "red"));
        objects[i % 2 ? "car" : "person"].push_back(std::make_shared<qzai::QzAIObject_t>(std::move(data)));
    }
    postprocessing.deviceTracks("cam-1")->classes = objects;
    bench_pairs::timePaired(
        state,
        [&] {
            auto result = qzai::ObjectsPostprocessor(postprocessing, request, objects, {}, nullptr);
            if (!result) state.SkipWithError("no answer");
            benchmark::DoNotOptimize(result);
        },
        {{"in_process",
          [&] {
              auto message = qzai::serializePostprocessorRequest(*request, objects, {}, *peer, nullptr);
              auto result = qzai::deserializePostprocessorResponse(postprocessing, *request, message->bytes());
              benchmark::DoNotOptimize(result);
          },
          true}});
}
BENCHMARK(BM_ObjectsPostprocessor20)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
