// Paired timing: a benchmark's own path and its baselines run one after the
// other inside every iteration, so they meet the same heap, cache and
// machine state, and their ratios come from the same process and minute.
//
// timePaired() reports the own path's time as the iteration time (manual
// time: register the benchmark with ->UseManualTime()) and one user counter
// per baseline, "ratio_<name>" = the baseline's total time / the own path's
// total time (above 1: the own path is faster). A floor (work that any
// implementation must at least do) is reported the other way round,
// "ratio_<name>" = own time / floor time (1 is the best possible).
//
// `before`, when given, runs untimed before each timed path (the own path
// and every baseline): evictFromCache() there gives each path a cold input,
// as a fresh inference output or camera frame would be.
#pragma once

#include <emmintrin.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench_pairs {

struct Baseline {
    std::string name;  // the counter is "ratio_" + name
    std::function<void()> run;
    bool isFloor = false;
    std::function<void()> warm = {};  // when set, runs untimed just before `run`
};

// Writes back and drops every cache line of [data, data + bytes).
inline void evictFromCache(const void* data, size_t bytes) {
    const char* p = static_cast<const char*>(data);
    for (size_t at = 0; at < bytes; at += 64) _mm_clflush(p + at);
    if (bytes) _mm_clflush(p + bytes - 1);
    _mm_mfence();
}

inline void timePaired(benchmark::State& state, const std::function<void()>& own,
                       const std::vector<Baseline>& baselines, const std::function<void()>& before = {}) {
    using Clock = std::chrono::steady_clock;
    auto timed = [&before](const std::function<void()>& work) {
        if (before) before();
        const auto start = Clock::now();
        work();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double ownTotal = 0.0;
    std::vector<double> totals(baselines.size(), 0.0);
    for (auto _ : state) {
        const double ownTime = timed(own);
        ownTotal += ownTime;
        for (size_t i = 0; i < baselines.size(); ++i) {
            if (baselines[i].warm) baselines[i].warm();
            totals[i] += timed(baselines[i].run);
        }
        state.SetIterationTime(ownTime);
    }
    for (size_t i = 0; i < baselines.size(); ++i) {
        if (ownTotal <= 0.0 || totals[i] <= 0.0) continue;
        state.counters["ratio_" + baselines[i].name] =
            baselines[i].isFloor ? ownTotal / totals[i] : totals[i] / ownTotal;
    }
}

}  // namespace bench_pairs
