// The test runtime: the nine runtime exports over an internal worker thread.
//
// runtime_init copies its arguments and resets all state (the loader may hand
// the same image to several loads); runtime_load_models reads each model file
// as a JSON descriptor (test_runtime_internal.h); enqueued sets are validated,
// owned and answered by the worker after their due time, possibly out of
// order; runtime_retrieve_output hands out one finished set or 12.
//
// Arguments (all optional, values are texts):
//   latency_ms, latency_jitter_ms, seed   due time of each answer
//   poll_ms              longest wait of one retrieve call (below the caller's)
//   fail_init, fail_load    fail with the value as error text
//   fail_enqueue_every   k: every k-th enqueue call is refused
//   drop_every           k: every k-th accepted input is never answered
//   retrieve_error_after k: retrieve fails once k outputs were handed out
//   bad_id_every         k: every k-th output carries id + 100
//   duplicate_every      k: every k-th output is handed out twice
//   malformed_every      k: every k-th output has a null tensor array
//   stale_id             n: one extra output with id n before the first real one
//   cleanup_fail         cleanup reports failure (after cleaning up)
//   null_texts           get_error and get_name return null
//
// The state lives in one heap object between init and cleanup; counters are
// plain atomics that survive cleanup (test_runtime_stats.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_runtime_internal.h"
#include "test_runtime_stats.h"

#define TEST_RUNTIME_EXPORT extern "C" __attribute__((visibility("default")))

namespace test_runtime {
namespace {

using Clock = std::chrono::steady_clock;

struct Counters {
    std::atomic<uint64_t> initCalls{0}, loadCalls{0}, cleanupCalls{0}, modelsLoaded{0}, enqueueAccepted{0},
        enqueueRefused{0}, inputsFreed{0}, outputsDelivered{0}, outputsDiscarded{0}, maxConcurrentEnqueue{0},
        enqueueWhileNotInitialised{0};
    std::atomic<uint64_t> acceptedByModel[16] = {};
};
Counters g_counters;
std::atomic<int64_t> g_enqueueCallers{0};
std::atomic<bool> g_nullTexts{false};

thread_local char t_error[512] = "";

void setError(const std::string& text) {
    std::snprintf(t_error, sizeof t_error, "%s", text.c_str());
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Pending {
    TensorSet* input = nullptr;
    uint32_t model = 0;
    int64_t dueNs = 0;
    bool drop = false;
};

class Runtime {
public:
    explicit Runtime(std::map<std::string, std::string> args): m_args(std::move(args)) {
        m_latencyMs = number("latency_ms");
        m_jitterMs = number("latency_jitter_ms");
        m_pollMs = number("poll_ms");
        m_failEnqueueEvery = number("fail_enqueue_every");
        m_dropEvery = number("drop_every");
        m_retrieveErrorAfter = number("retrieve_error_after");
        m_badIdEvery = number("bad_id_every");
        m_duplicateEvery = number("duplicate_every");
        m_malformedEvery = number("malformed_every");
        m_staleId = m_args.count("stale_id") ? number("stale_id") : -1;
        m_rng = static_cast<uint64_t>(number("seed")) * 2654435761u + 88172645463325252ull;
    }

    ~Runtime() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_workCv.notify_all();
        m_outCv.notify_all();
        if (m_worker.joinable()) m_worker.join();
        for (Pending& p: m_pending) release(p.input);
        for (TensorSet* out: m_outputs) {
            freeSet(out);
            g_counters.outputsDiscarded++;
        }
    }

    bool has(const char* key) const { return m_args.count(key) > 0; }
    const std::string& arg(const char* key) const { return m_args.at(key); }

    bool loadModels(uint32_t count, const RuntimeModelEntry* entries) {
        if (m_worker.joinable()) {
            setError("models are already loaded; initialise again first");
            return false;
        }
        m_models.clear();
        for (uint32_t i = 0; i < count; ++i) {
            const char* path = entries[i].modelPath;
            std::ifstream in(path ? path : "", std::ios::binary);
            if (!path || !in) {
                setError(std::string("cannot open model file ") + (path ? path : "(null)"));
                return false;
            }
            std::ostringstream text;
            text << in.rdbuf();
            Model model;
            std::string error;
            if (!parseModel(text.str(), model, error)) {
                setError(std::string(path) + ": " + error);
                return false;
            }
            m_models.push_back(std::move(model));
        }
        g_counters.modelsLoaded += count;
        m_worker = std::thread([this] { work(); });
        return true;
    }

    // Validation runs outside the lock (the models are fixed once loaded);
    // the worker is woken after the lock is released and only when it waits.
    int32_t enqueue(uint32_t modelIndex, TensorSet* input) {
        const int64_t call = ++m_enqueueCalls;
        if (modelIndex >= m_models.size()) {
            setError("model index " + std::to_string(modelIndex) + " out of range (" +
                std::to_string(m_models.size()) + " models)");
            return 3;
        }
        std::string error;
        if (!validateInput(input, error)) {
            setError(error);
            return 3;
        }
        if (m_failEnqueueEvery > 0 && call % m_failEnqueueEvery == 0) {
            setError("injected enqueue failure");
            return 5;
        }
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const int64_t accepted = ++m_accepted;
            int64_t delayMs = m_latencyMs + m_models[modelIndex].latencyMs;
            if (m_jitterMs > 0)
                delayMs += static_cast<int64_t>(nextRandom() % static_cast<uint64_t>(m_jitterMs + 1));
            m_pending.push_back({input, modelIndex, nowNs() + delayMs * 1000000,
                m_dropEvery > 0 && accepted % m_dropEvery == 0});
            wake = m_workerWaiting;
        }
        g_counters.enqueueAccepted++;
        g_counters.acceptedByModel[std::min<uint32_t>(modelIndex, 15)]++;
        if (wake) m_workCv.notify_one();
        return 0;
    }

    int32_t retrieve(TensorSet** outputs, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        int64_t waitMs = timeoutMs;
        if (m_pollMs > 0) waitMs = std::min(waitMs, m_pollMs);
        m_outCv.wait_for(lock, std::chrono::milliseconds(waitMs), [this] {
            return !m_outputs.empty() || m_stopping || retrieveShouldFail();
        });
        if (retrieveShouldFail()) {
            setError("injected retrieve failure");
            return 7;
        }
        if (m_outputs.empty()) return 12;
        *outputs = m_outputs.front();
        m_outputs.pop_front();
        ++m_delivered;
        g_counters.outputsDelivered++;
        return 0;
    }

private:
    int64_t number(const char* key) const {
        auto it = m_args.find(key);
        return it == m_args.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
    }

    uint64_t nextRandom() {
        m_rng ^= m_rng << 13;
        m_rng ^= m_rng >> 7;
        m_rng ^= m_rng << 17;
        return m_rng;
    }

    bool retrieveShouldFail() const { return m_retrieveErrorAfter > 0 && m_delivered >= m_retrieveErrorAfter; }

    static void release(TensorSet* input) {
        freeSet(input);
        g_counters.inputsFreed++;
    }

    // Takes the pending input due first once its time has come.
    bool takeDue(std::unique_lock<std::mutex>& lock, Pending& out) {
        while (!m_stopping) {
            if (m_pending.empty()) {
                m_workerWaiting = true;
                m_workCv.wait(lock);
                m_workerWaiting = false;
                continue;
            }
            auto first = std::min_element(m_pending.begin(), m_pending.end(),
                [](const Pending& a, const Pending& b) { return a.dueNs < b.dueNs; });
            const int64_t waitNs = first->dueNs - nowNs();
            if (waitNs > 0) {
                m_workerWaiting = true;
                m_workCv.wait_for(lock, std::chrono::nanoseconds(waitNs));
                m_workerWaiting = false;
                continue;
            }
            out = *first;
            *first = m_pending.back();
            m_pending.pop_back();
            return true;
        }
        return false;
    }

    // The retriever is woken after the lock is released.
    void work() {
        std::unique_lock<std::mutex> lock(m_mutex);
        Pending p;
        while (takeDue(lock, p)) {
            lock.unlock();
            TensorSet* out = p.drop ? nullptr : produceOutput(m_models[p.model], *p.input);
            release(p.input);
            lock.lock();
            if (!out) continue;
            publish(out);
            lock.unlock();
            m_outCv.notify_one();
            lock.lock();
        }
    }

    // Queues one output, with the injected extras; called under the mutex.
    void publish(TensorSet* out) {
        const int64_t n = ++m_produced;
        if (m_staleId >= 0) {
            TensorSet* stale = copySet(*out);
            stale->id = static_cast<uint32_t>(m_staleId);
            m_outputs.push_back(stale);
            m_staleId = -1;
        }
        if (m_duplicateEvery > 0 && n % m_duplicateEvery == 0) m_outputs.push_back(copySet(*out));
        if (m_badIdEvery > 0 && n % m_badIdEvery == 0) out->id += 100;
        if (m_malformedEvery > 0 && n % m_malformedEvery == 0) {
            TensorSet* bad = copySet(*out);
            bad->id = out->id;
            std::free(bad->tensors[0].data);
            bad->tensors[0].data = nullptr;
            freeSet(out);
            out = bad;
        }
        m_outputs.push_back(out);
    }

    std::map<std::string, std::string> m_args;
    int64_t m_latencyMs = 0, m_jitterMs = 0, m_pollMs = 0;
    int64_t m_failEnqueueEvery = 0, m_dropEvery = 0, m_retrieveErrorAfter = 0;
    int64_t m_badIdEvery = 0, m_duplicateEvery = 0, m_malformedEvery = 0, m_staleId = -1;
    uint64_t m_rng = 0;

    std::vector<Model> m_models;  // fixed after loadModels
    std::mutex m_mutex;
    std::condition_variable m_workCv;
    std::condition_variable m_outCv;
    std::vector<Pending> m_pending;
    std::deque<TensorSet*> m_outputs;
    bool m_stopping = false;
    bool m_workerWaiting = false;
    std::atomic<int64_t> m_enqueueCalls{0};
    int64_t m_accepted = 0, m_produced = 0, m_delivered = 0;
    std::thread m_worker;
};

std::atomic<Runtime*> g_runtime{nullptr};

// Ends the current instance, if any; true when its arguments asked for a
// cleanup failure.
bool destroyRuntime() {
    std::unique_ptr<Runtime> runtime(g_runtime.exchange(nullptr));
    return runtime && runtime->has("cleanup_fail");
}

}  // namespace
}  // namespace test_runtime

using namespace test_runtime;

TEST_RUNTIME_EXPORT int32_t runtime_init(const RuntimeArgs* args) {
    g_counters.initCalls++;
    destroyRuntime();
    std::map<std::string, std::string> copy;
    for (uint32_t i = 0; args && i < args->count; ++i)
        copy[args->keys[i] ? args->keys[i] : ""] = args->values[i] ? args->values[i] : "";
    auto runtime = std::make_unique<Runtime>(std::move(copy));
    g_nullTexts = runtime->has("null_texts");
    if (runtime->has("fail_init")) {
        setError(runtime->arg("fail_init"));
        return 1;
    }
    g_runtime = runtime.release();
    return 0;
}

TEST_RUNTIME_EXPORT int32_t runtime_load_models(uint32_t count, const RuntimeModelEntry* models) {
    g_counters.loadCalls++;
    Runtime* runtime = g_runtime.load();
    if (!runtime) {
        setError("runtime not initialised");
        return 4;
    }
    if (runtime->has("fail_load")) {
        setError(runtime->arg("fail_load"));
        return 3;
    }
    if (count > 0 && !models) {
        setError("model list is null");
        return 3;
    }
    return runtime->loadModels(count, models) ? 0 : 3;
}

TEST_RUNTIME_EXPORT int32_t runtime_enqueue_input(uint32_t modelIndex, TensorSet* inputs) {
    const int64_t callers = ++g_enqueueCallers;
    uint64_t seen = g_counters.maxConcurrentEnqueue.load();
    while (static_cast<uint64_t>(callers) > seen
        && !g_counters.maxConcurrentEnqueue.compare_exchange_weak(seen, static_cast<uint64_t>(callers))) {
    }
    int32_t result = 4;
    if (Runtime* runtime = g_runtime.load()) {
        result = runtime->enqueue(modelIndex, inputs);
    } else {
        g_counters.enqueueWhileNotInitialised++;
        setError("runtime not initialised");
    }
    if (result != 0) g_counters.enqueueRefused++;
    --g_enqueueCallers;
    return result;
}

TEST_RUNTIME_EXPORT int32_t runtime_retrieve_output(void* reserved8, TensorSet** outputs, uint32_t timeoutMs) {
    if (reserved8) std::memset(reserved8, 0, 8);
    Runtime* runtime = g_runtime.load();
    if (!runtime) {
        setError("runtime not initialised");
        return 4;
    }
    if (!outputs) {
        setError("output pointer is null");
        return 3;
    }
    return runtime->retrieve(outputs, timeoutMs);
}

TEST_RUNTIME_EXPORT int32_t runtime_cleanup(void) {
    g_counters.cleanupCalls++;
    if (destroyRuntime()) {
        setError("injected cleanup failure");
        return 9;
    }
    return 0;
}

TEST_RUNTIME_EXPORT const char* runtime_get_error(void) {
    return g_nullTexts ? nullptr : t_error;
}

TEST_RUNTIME_EXPORT const char* runtime_get_version(void) {
    return "1.0";
}

TEST_RUNTIME_EXPORT const char* runtime_get_name(void) {
    return g_nullTexts ? nullptr : "TestRuntime";
}

TEST_RUNTIME_EXPORT const char* runtime_get_info(void) {
    return "test runtime";
}

TEST_RUNTIME_EXPORT void test_runtime_get_stats(TestRuntimeStats* stats) {
    stats->initCalls = g_counters.initCalls;
    stats->loadCalls = g_counters.loadCalls;
    stats->cleanupCalls = g_counters.cleanupCalls;
    stats->modelsLoaded = g_counters.modelsLoaded;
    stats->enqueueAccepted = g_counters.enqueueAccepted;
    stats->enqueueRefused = g_counters.enqueueRefused;
    stats->inputsFreed = g_counters.inputsFreed;
    stats->outputsDelivered = g_counters.outputsDelivered;
    stats->outputsDiscarded = g_counters.outputsDiscarded;
    stats->maxConcurrentEnqueue = g_counters.maxConcurrentEnqueue;
    stats->enqueueWhileNotInitialised = g_counters.enqueueWhileNotInitialised;
    for (size_t i = 0; i < 16; ++i) stats->enqueueAcceptedByModel[i] = g_counters.acceptedByModel[i];
}

TEST_RUNTIME_EXPORT void test_runtime_reset_stats(void) {
    for (std::atomic<uint64_t>* c: {&g_counters.initCalls, &g_counters.loadCalls, &g_counters.cleanupCalls,
             &g_counters.modelsLoaded, &g_counters.enqueueAccepted, &g_counters.enqueueRefused,
             &g_counters.inputsFreed, &g_counters.outputsDelivered, &g_counters.outputsDiscarded,
             &g_counters.maxConcurrentEnqueue, &g_counters.enqueueWhileNotInitialised})
        c->store(0);
    for (std::atomic<uint64_t>& c: g_counters.acceptedByModel) c.store(0);
}
