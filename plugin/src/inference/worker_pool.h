// WorkerPool: the threads that run the inference manager's input and output
// workers, kept and reused instead of started per frame and per output.
//
// Contract: every job comes with a WorkerPermit taken beforehand (admission
// stays with the caller's semaphore, tested without waiting). submit() hands
// the job to an idle thread of the pool, or starts a new thread when none is
// idle, up to `maxThreads`; it never waits for a thread to come free. The
// thread runs the job, destroys it (with everything the job captured), counts
// itself idle again and only then gives the permit back. So:
// - taking every permit of the semaphore once (the manager's waitForWorkers)
//   returns only when no job that started before is running or still
//   releasing what it held;
// - while permits are taken before submit(), the pool never holds more than
//   `maxThreads` threads (a thread is busy only while its job's permit is
//   held, and counts itself idle before giving it back).
// When a new thread cannot be started, submit() destroys the job, gives the
// permit back and throws the std::system_error of the thread start; nothing
// of the job has run.
//
// Ownership: the pool owns its threads; a job owns what it captured until it
// has run. The destructor lets the threads finish the jobs already handed to
// them, then joins every thread, so no code of the pool or of a job runs
// after it returns (the library may be unloaded then).
//
// Thread-safety: submit() may be called from any number of threads at once.
// The destructor must not race with submit() and must not be called from a
// job.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "inference/worker_semaphore.h"

namespace qz::vms_server_plugins::analytics::qzai {

class WorkerPool {
public:
    explicit WorkerPool(int maxThreads);
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `body` on a pool thread; `permit` is given back after `body` ran
    // and was destroyed. Throws std::system_error when no thread could be
    // started (after giving the permit back and destroying `body`).
    template <class Body>
    void submit(WorkerPermit permit, Body&& body) {
        submitJob(std::move(permit), std::make_unique<Callable<std::decay_t<Body>>>(std::forward<Body>(body)));
    }

    // Threads started so far and still running (busy or idle).
    size_t threadCount() const;

private:
    struct Job {
        virtual ~Job() = default;
        virtual void run() = 0;
    };
    template <class Body>
    struct Callable final : Job {
        explicit Callable(Body&& b) : body(std::move(b)) {}
        explicit Callable(const Body& b) : body(b) {}
        void run() override { body(); }
        Body body;
    };
    struct Task {
        WorkerPermit permit;
        std::unique_ptr<Job> job;
    };

    void submitJob(WorkerPermit permit, std::unique_ptr<Job> job);
    void threadLoop();

    const size_t m_maxThreads;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;        // handed over, not yet taken by a thread
    size_t m_waiting = 0;            // threads that are idle or about to be
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
