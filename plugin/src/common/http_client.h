// A small HTTP(S) client: one request at a time per call, over libcurl.
//
// send() blocks until the transfer ends, the caller stops it from a callback,
// or a time-out passes: `connectTimeout` bounds the connection set-up,
// `idleTimeout` bounds any stretch without a byte sent or received and
// `totalTimeout` (when not zero) the whole transfer, so a server trickling
// bytes cannot hold the caller. A body kept in memory (no onData callback)
// ends the transfer once it passes `maxBodyBytes`. Redirects are followed
// (http and https only, at most `maxRedirects`); a transfer that starts on
// https never follows a redirect to plain http (refused with a log line
// naming the host). onTick is called
// at least every 100 ms for as long as the transfer runs, also while the
// server sends nothing, so a cancel flag checked there takes effect promptly.
//
// Callbacks run on the calling thread. An exception from a callback stops the
// transfer and leaves send() once the transfer has been cleaned up. HttpClient
// holds no connection between calls; one object may be used from several
// threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// Largest body HttpClient keeps in memory by default (16 MiB).
inline constexpr uint64_t kMaxBodyInMemory = 16ull << 20;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    std::string body;  // sent when not empty, or when method is not GET
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds idleTimeout{10000};
    std::chrono::milliseconds totalTimeout{0};  // 0: none
    uint64_t maxBodyBytes = kMaxBodyInMemory;   // only for a body kept in memory
    long maxRedirects = 10;
    std::string trustedCaFile;  // certificates to trust for https; empty: the system's
};

struct HttpResponse {
    int status = 0;       // status of the final response; 0 when none arrived
    HttpHeaders headers;  // headers of the final response, in arrival order
    std::string body;     // filled only when no onData callback is given
    bool complete = false;   // the transfer ended normally (whole body received)
    bool cancelled = false;  // a callback stopped it
    std::string error;       // why it did not complete

    // First header with this name, compared ignoring case.
    std::optional<std::string> header(std::string_view name) const;
    // The "Content-Length" header as a number, when present and valid.
    std::optional<uint64_t> contentLength() const;
};

struct HttpCallbacks {
    // Once, when the final response's headers are in and before its first
    // body byte (or at the end when there is no body). False stops the transfer.
    std::function<bool(const HttpResponse&)> onResponse;
    // Body bytes of the final response. False stops the transfer.
    std::function<bool(const char* data, size_t size)> onData;
    // At least every 100 ms while the transfer runs. False stops the transfer.
    std::function<bool()> onTick;
};

class HttpClient {
public:
    HttpResponse send(const HttpRequest& request, const HttpCallbacks& callbacks = {}) const;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
