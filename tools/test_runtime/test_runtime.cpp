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
//   slow_refusal_every   k: enqueue calls 1, k + 1, 2k + 1, ... are refused
//                        after slow_refusal_ms or, without it, once
//                        test_runtime_release_enqueues was called
//   drop_every           k: every k-th accepted input is never answered ...
//   drop_answer_ms       ... or, when given, answered only after this delay
//   retrieve_error_after k: retrieve fails once k outputs were handed out
//   bad_id_every         k: every k-th output carries id + 100
//   duplicate_every      k: every k-th output is handed out twice ...
//   duplicate_late       ... the copy only just before the next output
//   malformed_every      k: every k-th output is malformed in tensor 0 as
//                        malformed_kind says: null_data (the default: data
//                        freed and null), bytes_over (byteSize x 1000),
//                        bytes_under (byteSize - 1), huge_rank (rank 2^31),
//                        shape_overflow (rank 4, each dimension 2^31 - 1),
//                        null_shape (shape freed and null, rank kept)
//   infinite_score       the detect and find_squares rows carry score +inf
//   stale_id             n: one extra output with id n before the first real one
//   fail_init_times      k: the first k init calls of the loaded image fail
//                        (counted until test_runtime_reset_stats)
//   hold_enqueue         an accepted enqueue call returns only once
//                        test_runtime_release_enqueues was called (its input
//                        is answered meanwhile as usual)
//   hold_init            init returns only once test_runtime_release_inits
//                        was called
//   enqueue_throws       enqueue throws std::runtime_error before taking
//                        the input, as a runtime written in C++ might
//   cleanup_fail         cleanup reports failure (after cleaning up)
//   null_texts           get_error and get_name return null
//
// The state lives in one heap object between init and cleanup; counters are
// plain atomics that survive cleanup (test_runtime_stats.h).
//
// Extra exports for tests: test_runtime_hold_outputs(1) keeps retrieve calls
// waiting, past their timeout, until test_runtime_hold_outputs(0) (or
// cleanup);
// test_runtime_release_enqueues() and test_runtime_release_inits() let held
// enqueue and init calls return.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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
        enqueueWhileNotInitialised{0}, outputsProduced{0}, retrieveCallsInside{0};
    std::atomic<uint64_t> acceptedByModel[16] = {};
};
Counters g_counters;
std::atomic<int64_t> g_enqueueCallers{0};
std::atomic<bool> g_nullTexts{false};
std::atomic<int64_t> g_injectedInitFailures{0};
std::atomic<bool> g_holdOutputs{false};

// A gate that held calls wait at until it opens; it stays open until the
// counters are reset.
class Gate {
public:
    void pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_opened.wait(lock, [this] { return m_open; });
    }
    void set(bool open) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = open;
        }
        m_opened.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;
};
Gate g_enqueueGate;
Gate g_initGate;

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
        m_dropAnswerMs = number("drop_answer_ms");
        m_retrieveErrorAfter = number("retrieve_error_after");
        m_badIdEvery = number("bad_id_every");
        m_duplicateEvery = number("duplicate_every");
        m_slowRefusalEvery = number("slow_refusal_every");
        m_slowRefusalMs = number("slow_refusal_ms");
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
        if (m_lateDuplicate) m_outputs.push_back(m_lateDuplicate);
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
        if (m_slowRefusalEvery > 0 && (call - 1) % m_slowRefusalEvery == 0) {
            if (m_slowRefusalMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_slowRefusalMs));
            else
                g_enqueueGate.pass();
            setError("injected slow enqueue failure");
            return 5;
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
            bool drop = m_dropEvery > 0 && accepted % m_dropEvery == 0;
            if (drop && m_dropAnswerMs > 0) delayMs = m_dropAnswerMs, drop = false;
            m_pending.push_back({input, modelIndex, nowNs() + delayMs * 1000000, drop});
            wake = m_workerWaiting;
        }
        g_counters.enqueueAccepted++;
        g_counters.acceptedByModel[std::min<uint32_t>(modelIndex, 15)]++;
        if (wake) m_workCv.notify_one();
        if (has("hold_enqueue")) g_enqueueGate.pass();
        return 0;
    }

    int32_t retrieve(TensorSet** outputs, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        int64_t waitMs = timeoutMs;
        if (m_pollMs > 0) waitMs = std::min(waitMs, m_pollMs);
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            // Held outputs keep the caller waiting past its timeout, so that
            // it is inside this call when they are let go.
            m_outCv.wait(lock, [this] { return !g_holdOutputs || m_stopping || retrieveShouldFail(); });
            if (retrieveShouldFail()) {
                setError("injected retrieve failure");
                return 7;
            }
            if (!m_outputs.empty() || m_stopping) break;
            const bool woken = m_outCv.wait_until(lock, deadline, [this] {
                return !m_outputs.empty() || g_holdOutputs || m_stopping || retrieveShouldFail();
            });
            if (!woken && !g_holdOutputs) break;
        }
        if (m_outputs.empty()) return 12;
        *outputs = m_outputs.front();
        m_outputs.pop_front();
        ++m_delivered;
        g_counters.outputsDelivered++;
        return 0;
    }

    // Wakes retrieve calls after the outputs were let go.
    void wakeRetrievers() {
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_outCv.notify_all();
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
        if (m_lateDuplicate) m_outputs.push_back(std::exchange(m_lateDuplicate, nullptr));
        if (m_duplicateEvery > 0 && n % m_duplicateEvery == 0) {
            if (m_args.count("duplicate_late"))
                m_lateDuplicate = copySet(*out);
            else
                m_outputs.push_back(copySet(*out));
        }
        if (m_badIdEvery > 0 && n % m_badIdEvery == 0) out->id += 100;
        if (m_malformedEvery > 0 && n % m_malformedEvery == 0 && out->count > 0) breakTensor(out->tensors[0]);
        if (m_args.count("infinite_score") && out->count > 0) infiniteScores(out->tensors[0]);
        m_outputs.push_back(out);
        g_counters.outputsProduced++;
    }

    // The outputs' blocks stay as allocated (freeSet frees them whatever the
    // fields claim); only what a reader would trust is bent.
    void breakTensor(Tensor& t) const {
        const auto it = m_args.find("malformed_kind");
        const std::string kind = it == m_args.end() ? "null_data" : it->second;
        if (kind == "bytes_over") {
            t.byteSize *= 1000;
        } else if (kind == "bytes_under") {
            t.byteSize -= 1;
        } else if (kind == "huge_rank") {
            t.rank = 1u << 31;
        } else if (kind == "shape_overflow") {
            std::free(t.shape);
            t.rank = 4;
            t.shape = static_cast<int32_t*>(std::malloc(4 * sizeof(int32_t)));
            for (int d = 0; d < 4; ++d) t.shape[d] = INT32_MAX;
        } else if (kind == "null_shape") {
            std::free(t.shape);
            t.shape = nullptr;
        } else {
            std::free(t.data);
            t.data = nullptr;
        }
    }

    // Rows of six floats (x1, y1, x2, y2, score, class): every score +inf.
    static void infiniteScores(Tensor& t) {
        if (t.elementType != QZ_ELEMENT_FLOAT32 || t.rank != 2 || t.shape[1] != 6) return;
        float* values = static_cast<float*>(t.data);
        for (uint64_t i = 4; i < t.byteSize / sizeof(float); i += 6) values[i] = INFINITY;
    }

    std::map<std::string, std::string> m_args;
    int64_t m_latencyMs = 0, m_jitterMs = 0, m_pollMs = 0;
    int64_t m_failEnqueueEvery = 0, m_dropEvery = 0, m_dropAnswerMs = 0, m_retrieveErrorAfter = 0;
    int64_t m_badIdEvery = 0, m_duplicateEvery = 0, m_malformedEvery = 0, m_staleId = -1;
    int64_t m_slowRefusalEvery = 0, m_slowRefusalMs = 0;
    uint64_t m_rng = 0;

    std::vector<Model> m_models;  // fixed after loadModels
    std::mutex m_mutex;
    std::condition_variable m_workCv;
    std::condition_variable m_outCv;
    std::vector<Pending> m_pending;
    std::deque<TensorSet*> m_outputs;
    TensorSet* m_lateDuplicate = nullptr;  // duplicate_late: the copy still held back
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
    if (runtime->has("hold_init")) g_initGate.pass();
    if (runtime->has("fail_init")) {
        setError(runtime->arg("fail_init"));
        return 1;
    }
    if (runtime->has("fail_init_times") &&
        g_injectedInitFailures.fetch_add(1) < std::strtoll(runtime->arg("fail_init_times").c_str(), nullptr, 10)) {
        setError("injected init failure");
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
    if (Runtime* runtime = g_runtime.load(); runtime && runtime->has("enqueue_throws")) {
        --g_enqueueCallers;
        throw std::runtime_error("injected enqueue exception");
    }
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
    g_counters.retrieveCallsInside++;
    const int32_t result = runtime->retrieve(outputs, timeoutMs);
    g_counters.retrieveCallsInside--;
    return result;
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

// "name" in runtime_args.json tells installed test packages apart.
TEST_RUNTIME_EXPORT const char* runtime_get_name(void) {
    if (g_nullTexts) return nullptr;
    Runtime* runtime = g_runtime.load();
    return runtime && runtime->has("name") ? runtime->arg("name").c_str() : "TestRuntime";
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
    stats->outputsProduced = g_counters.outputsProduced;
    stats->retrieveCallsInside = g_counters.retrieveCallsInside;
    for (size_t i = 0; i < 16; ++i) stats->enqueueAcceptedByModel[i] = g_counters.acceptedByModel[i];
}

TEST_RUNTIME_EXPORT void test_runtime_hold_outputs(int32_t hold) {
    g_holdOutputs = hold != 0;
    if (Runtime* runtime = g_runtime.load(); runtime && !hold) runtime->wakeRetrievers();
}

TEST_RUNTIME_EXPORT void test_runtime_release_enqueues(void) {
    g_enqueueGate.set(true);
}

TEST_RUNTIME_EXPORT void test_runtime_release_inits(void) {
    g_initGate.set(true);
}

TEST_RUNTIME_EXPORT void test_runtime_reset_stats(void) {
    g_injectedInitFailures = 0;
    g_holdOutputs = false;
    g_enqueueGate.set(false);
    g_initGate.set(false);
    for (std::atomic<uint64_t>* c: {&g_counters.initCalls, &g_counters.loadCalls, &g_counters.cleanupCalls,
             &g_counters.modelsLoaded, &g_counters.enqueueAccepted, &g_counters.enqueueRefused,
             &g_counters.inputsFreed, &g_counters.outputsDelivered, &g_counters.outputsDiscarded,
             &g_counters.maxConcurrentEnqueue, &g_counters.enqueueWhileNotInitialised, &g_counters.outputsProduced})
        c->store(0);
    for (std::atomic<uint64_t>& c: g_counters.acceptedByModel) c.store(0);
}
