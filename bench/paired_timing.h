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
//
// timeInStates() times every path (the own one included) in each of the
// given cache states, in an order shuffled afresh every iteration (from a
// fixed seed), so that every path follows every other about equally often:
// a path that leaves much written data behind slows whichever path comes
// next, and a plain rotation would always hand that cost to one neighbour.
//  - Warm: the path runs twice untimed just before its timed run, on the
//    same input and its own buffers (a path warmed once can still be much
//    slower than one warmed twice);
//  - Cold: the path's `evict` (its input and every buffer it writes dropped
//    from the cache) runs untimed just before its timed run.
// Its counters carry the state in the name: "ratio_<name>_warm",
// "ratio_<name>_cold", computed as above. The iteration time is the own
// path's time in the first state given.
#pragma once

#include <emmintrin.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <numeric>
#include <random>
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

enum class CacheState { Warm, Cold };

inline const char* stateName(CacheState state) { return state == CacheState::Warm ? "warm" : "cold"; }

// A timed path of timeInStates(): `evict` drops from the cache the input and
// every buffer `run` writes.
struct Path {
    std::string name;
    std::function<void()> run;
    std::function<void()> evict;
    bool isFloor = false;
};

inline void timeInStates(benchmark::State& state, const Path& own, const std::vector<Path>& baselines,
                         const std::vector<CacheState>& states) {
    using Clock = std::chrono::steady_clock;
    std::vector<const Path*> paths = {&own};
    for (const Path& b : baselines) paths.push_back(&b);
    // totals[path][state]
    std::vector<std::vector<double>> totals(paths.size(), std::vector<double>(states.size(), 0.0));
    std::vector<size_t> order(paths.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::mt19937 shuffler(20261208);
    for (auto _ : state) {
        double ownTime = 0.0;
        std::shuffle(order.begin(), order.end(), shuffler);
        for (const size_t p : order) {
            for (size_t s = 0; s < states.size(); ++s) {
                if (states[s] == CacheState::Warm) {
                    paths[p]->run();
                    paths[p]->run();
                } else {
                    paths[p]->evict();
                }
                const auto start = Clock::now();
                paths[p]->run();
                const double took = std::chrono::duration<double>(Clock::now() - start).count();
                totals[p][s] += took;
                if (p == 0 && s == 0) ownTime = took;
            }
        }
        state.SetIterationTime(ownTime);
    }
    for (size_t p = 1; p < paths.size(); ++p) {
        for (size_t s = 0; s < states.size(); ++s) {
            const double ownTotal = totals[0][s], total = totals[p][s];
            if (ownTotal <= 0.0 || total <= 0.0) continue;
            state.counters["ratio_" + paths[p]->name + "_" + stateName(states[s])] =
                paths[p]->isFloor ? ownTotal / total : total / ownTotal;
        }
    }
}

}  // namespace bench_pairs
