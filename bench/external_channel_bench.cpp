// Round trips through an echo qz_peer: sendInput, receiveOutput, the copy the
// receive loop makes, releaseOutput. Over shared memory (a child process) and
// over TCP on 127.0.0.1 (a peer process), for a 640x640x3 float32 body and for
// 64 bytes (the cost of the signalling). The reference is one memcpy of the
// same bytes in the same run; each round trip reports "x_memcpy", its time
// over the reference's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/log.h"
#include "external/external_process.h"
#include "external/support/external_support.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int64_t kTensorBytes = 640 * 640 * 3 * 4;  // 4,915,200
std::map<int64_t, double> g_memcpySeconds;           // per byte count

void reportAgainstMemcpy(benchmark::State& state, double seconds) {
    const auto reference = g_memcpySeconds.find(state.range(0));
    if (reference != g_memcpySeconds.end() && state.iterations() > 0 && reference->second > 0) {
        state.counters["x_memcpy"] = seconds / static_cast<double>(state.iterations()) / reference->second;
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> source(size, 7), target(size);
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (state.iterations() > 0) g_memcpySeconds[state.range(0)] = seconds / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void roundTrips(benchmark::State& state, qzai::ExternalProcess& process) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> request(size, 3), copy;
    // The first exchange waits for the peer to be ready.
    if (!process.sendInput(request) || !process.receiveOutput(10000)) {
        state.SkipWithError("the echo peer did not answer");
        return;
    }
    process.releaseOutput();
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!process.sendInput(request)) {
            state.SkipWithError("send failed");
            break;
        }
        const auto response = process.receiveOutput(10000);
        if (!response || response->size() != size) {
            state.SkipWithError("no echo");
            break;
        }
        copy.assign(response->begin(), response->end());
        process.releaseOutput();
    }
    reportAgainstMemcpy(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
}

void BM_SharedMemoryRoundTrip(benchmark::State& state) {
    qzai::setLogVerbosity(0);
    auto process = qzai::ExternalProcess::create(qz::test::peerProgram(), "", {"--Behaviour", "echo"}, {});
    if (!process) {
        state.SkipWithError("qz_peer did not start");
        return;
    }
    roundTrips(state, *process);
}

void BM_TcpRoundTrip(benchmark::State& state) {
    qzai::setLogVerbosity(0);
    qz::test::TcpPeer peer({"--Behaviour", "echo"});
    auto process = qzai::ExternalProcess::createTcp(peer.port());
    roundTrips(state, *process);
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(kTensorBytes)->Arg(64);
BENCHMARK(BM_SharedMemoryRoundTrip)->Arg(kTensorBytes)->Arg(64)->UseRealTime();
BENCHMARK(BM_TcpRoundTrip)->Arg(kTensorBytes)->Arg(64)->UseRealTime();
