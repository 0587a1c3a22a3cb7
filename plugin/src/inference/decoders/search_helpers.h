// SearchHelpers: a few helper threads that join a caller in running the
// numbered pieces of one job (the class search of a large decoder output).
//
// run() hands out pieces one at a time to whoever asks next: the calling
// thread always works, and idle helpers that wake in time take pieces too.
// The caller wakes only the first helper (waking a sleeping thread costs the
// waker microseconds, more when several are woken at once); each helper
// wakes the next while pieces remain. A helper that is slow to wake finds
// nothing left and goes back to sleep, so the call never waits for a helper
// to start, only for a piece that one is running. The pool holds one job at
// a time: a caller that finds it taken by another call (its helpers are
// busy) runs all its pieces itself.
//
// Helpers are started by `start` on the first run() that wants them; a
// helper that cannot be started is reported once (decoder warning) and no
// later start is tried until stop(), so the work is done by fewer threads.
// stop() wakes and joins every helper; a later run() starts them again. The
// destructor stops. No helper outlives the pool, and a helper never touches a
// job after the run() that published it has returned.
//
// Thread-safe: run() and stop() may be called from any thread, at once.
// `work` must not throw and must not call run() on the same pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Starts a thread running `work`; may throw like std::thread's constructor.
using ThreadStarter = std::function<std::thread(std::function<void()> work)>;

class SearchHelpers {
public:
    SearchHelpers(int32_t helpers, ThreadStarter start);
    ~SearchHelpers();
    SearchHelpers(const SearchHelpers&) = delete;
    SearchHelpers& operator=(const SearchHelpers&) = delete;

    // Calls work(p) once for every p in [0, pieces), on the calling thread
    // and on at most `helpers` helper threads; returns when all calls are done.
    void run(int32_t pieces, int32_t helpers, const std::function<void(int32_t)>& work);

    void stop();

private:
    struct Helper {
        std::thread thread;
        std::atomic<uint32_t> bell{0};  // rung (incremented) to wake the helper
    };

    void helperLoop(size_t index);
    void startHelpers(std::unique_lock<std::mutex>& lock, size_t wanted);
    void ring(size_t index);
    // Takes the next piece of job `generation` if it has one left.
    bool claim(uint32_t generation, int32_t pieces, int32_t& piece);

    const int32_t m_limit;
    const ThreadStarter m_start;

    std::mutex m_mutex;
    std::condition_variable m_idle;  // stop(): the job slot is free
    // Helpers in start order; only the owner of the slot adds or removes.
    std::vector<std::unique_ptr<Helper>> m_helpers;
    bool m_startFailed = false;
    bool m_slotTaken = false;  // a run() or stop() owns the job and m_helpers
    std::atomic<bool> m_stopping{false};

    // The job, published under the mutex: helpers 0 to m_seats - 1 take part.
    uint32_t m_generation = 0;
    const std::function<void(int32_t)>* m_work = nullptr;
    int32_t m_pieces = 0;
    int32_t m_seats = 0;

    // Pieces are taken and counted without the mutex: the generation in the
    // ticket's high half stops a helper from taking a piece of a later job.
    std::atomic<uint64_t> m_ticket{0};  // generation << 32 | next piece
    std::atomic<int32_t> m_done{0};     // pieces finished
};

}  // namespace qz::vms_server_plugins::analytics::qzai
