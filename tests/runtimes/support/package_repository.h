// A runtime package repository on a loopback HTTP server: packages under
// "/PELM/runtimes/2.0.0/" + the catalogue's path template, with the checksum
// header right, wrong, upper-case, padded or absent, with or without a
// Content-Length, failing statuses, a cut body, a gate that holds the body
// until release(), a redirect, and a log of the paths asked for.
//
// Header-only so that the engine tests can serve packages too.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/support/loopback_http_server.h"
#include "host/test_crypto.h"

namespace qz::test {

enum class Md5Header { Correct, Wrong, UpperCase, Padded, Absent };

struct PackageRoute {
    std::string body;
    Md5Header md5 = Md5Header::Correct;
    bool contentLength = true;
    int status = 200;
    // Sends this many bytes of the body, then closes (the Content-Length
    // still announces the whole body).
    std::optional<size_t> cutAt;
    // Sends half of the body, then waits for release() before the rest.
    bool gated = false;
    // Answers 302 to this repository path instead.
    std::string redirectTo;
};

// A plain 200 answer with the body and its checksum.
inline PackageRoute served(std::string body) {
    PackageRoute route;
    route.body = std::move(body);
    return route;
}

using qz::test_host::md5Hex;

class PackageRepository {
public:
    static constexpr const char* kPrefix = "/PELM/runtimes/2.0.0/";

    PackageRepository() {
        m_http.server().Get(R"(/PELM/runtimes/2\.0\.0/(.*))",
                            [this](const httplib::Request& request, httplib::Response& response) {
                                answer(request.matches[1], response);
                            });
        m_http.start(std::chrono::minutes(5));
    }

    // The base address for RuntimesConfig::repositoryBase.
    std::string base() const { return m_http.url(""); }
    std::string url(const std::string& path) const { return m_http.url(kPrefix + path); }

    void serve(const std::string& path, PackageRoute route) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_routes[path] = std::move(route);
    }
    void release() { m_http.release(); }

    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    size_t count(const std::string& path) const {
        const auto all = requests();
        return static_cast<size_t>(std::count(all.begin(), all.end(), path));
    }
    // True once a handler has started sending a gated body.
    bool gateReached() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_gateReached;
    }
    LoopbackHttpServer& http() { return m_http; }

private:
    void answer(const std::string& path, httplib::Response& response) {
        PackageRoute route;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(path);
            const auto it = m_routes.find(path);
            if (it == m_routes.end()) {
                response.status = 404;
                return;
            }
            route = it->second;
        }
        if (!route.redirectTo.empty()) {
            response.set_redirect(std::string(kPrefix) + route.redirectTo, 302);
            return;
        }
        response.status = route.status;
        if (route.status != 200) return;
        std::string md5 = md5Hex(route.body);
        switch (route.md5) {
            case Md5Header::Correct: break;
            case Md5Header::Wrong: md5 = md5Hex(route.body + "x"); break;
            case Md5Header::UpperCase:
                for (char& c : md5) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                break;
            case Md5Header::Padded: md5 = "  " + md5 + " \t"; break;
            case Md5Header::Absent: md5.clear(); break;
        }
        if (!md5.empty()) response.set_header("X-Checksum-Md5", md5);
        auto body = std::make_shared<std::string>(std::move(route.body));
        const size_t limit = route.cutAt.value_or(body->size());
        const bool gated = route.gated;
        // Writes the next block from `offset`; the offset after it, or empty
        // to close the connection.
        const bool chunked = !route.contentLength;
        auto provide = [this, body, limit, gated, chunked](size_t offset, httplib::DataSink& sink) -> std::optional<size_t> {
            const size_t half = body->size() / 2;
            if (gated && offset == half) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_gateReached = true;
                }
                if (!m_http.waitForRelease(std::chrono::seconds(60))) return std::nullopt;
            }
            if (offset >= limit && offset < body->size()) return std::nullopt;  // cut: close without the rest
            size_t end = std::min(limit, std::min(body->size(), offset + 65536));
            if (gated && offset < half) end = std::min(end, half);
            if (end > offset) sink.write(body->data() + offset, end - offset);
            if (chunked && end == body->size()) sink.done();
            return end;
        };
        if (route.contentLength) {
            response.set_content_provider(body->size(), "application/gzip",
                                          [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                              return provide(offset, sink).has_value();
                                          });
        } else {
            auto sent = std::make_shared<size_t>(0);
            response.set_chunked_content_provider("application/gzip",
                                                  [provide, sent](size_t, httplib::DataSink& sink) {
                                                      const auto next = provide(*sent, sink);
                                                      if (!next) return false;
                                                      *sent = *next;
                                                      return true;
                                                  });
        }
    }

    LoopbackHttpServer m_http;
    mutable std::mutex m_mutex;
    std::map<std::string, PackageRoute> m_routes;
    std::vector<std::string> m_requests;
    bool m_gateReached = false;
};

}  // namespace qz::test
