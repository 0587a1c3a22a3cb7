// A real HTTP server for tests, bound to 127.0.0.1 on an ephemeral port.
//
// Register routes on server() before start(). The server runs on its own
// thread and stops in the destructor, or by itself once `maxLifetime` has
// passed, so a forgotten or hung test cannot keep it alive. Handlers that
// stall should call waitForRelease(), which returns when the test calls
// release(), the server stops, or the bound passes.
//
// Header-only so that any test folder can use it (link qz_test_support).
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace qz::test {

class LoopbackHttpServer {
public:
    LoopbackHttpServer() = default;
    ~LoopbackHttpServer() { stop(); }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    httplib::Server& server() { return m_server; }

    void start(std::chrono::milliseconds maxLifetime = std::chrono::seconds(30)) {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0) throw std::runtime_error("loopback server: could not bind 127.0.0.1");
        m_listener = std::thread([this] { m_server.listen_after_bind(); });
        // httplib's stop() does nothing until the accept loop runs, so a stop
        // that came first would leave the listener (and the join) hanging.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!m_server.is_running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_watchdog = std::thread([this, maxLifetime] {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_cv.wait_for(lock, maxLifetime, [this] { return m_stopping.load(); })) {
                m_stopping = true;  // under the mutex, so no waiter misses it
                lock.unlock();
                m_cv.notify_all();
                m_server.stop();
            }
        });
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_released = true;
        }
        m_cv.notify_all();
        m_server.stop();
        if (m_listener.joinable()) m_listener.join();
        if (m_watchdog.joinable()) m_watchdog.join();
    }

    int port() const { return m_port; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    // Lets stalled handlers go on.
    void release() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;
        }
        m_cv.notify_all();
    }

    // Handlers that stall after this wait for the next release() (one
    // server shared by several tests of a program).
    void rearm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = false;
    }

    // For handlers: waits until release(), stop() or `bound` passes. True
    // when released while still running.
    bool waitForRelease(std::chrono::milliseconds bound = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, bound, [this] { return m_released || m_stopping.load(); });
        return m_released && !m_stopping.load();
    }

    bool stopping() const { return m_stopping.load(); }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_listener;
    std::thread m_watchdog;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_released = false;
    std::atomic<bool> m_stopping{false};
};

}  // namespace qz::test
