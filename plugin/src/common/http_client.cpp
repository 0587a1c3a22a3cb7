#include "common/http_client.h"

#include <curl/curl.h>

#include <exception>
#include <memory>
#include <mutex>

#include "common/log.h"
#include "common/text_utils.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr int kPollMs = 50;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// State shared with libcurl's callbacks for one transfer.
struct Transfer {
    const HttpCallbacks* callbacks = nullptr;
    HttpResponse* response = nullptr;
    CURL* easy = nullptr;
    bool responseAnnounced = false;
    bool stopped = false;
    std::string limitError;  // why the transfer passed a limit; it then stops without being "cancelled"
    std::chrono::steady_clock::time_point lastActivity;
    uint64_t maxBodyBytes = 0;
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
    // An exception from a callback (or from our own code inside libcurl's
    // callbacks) must not unwind through libcurl: it is kept here, the
    // transfer stops, and send() rethrows it after cleaning up.
    std::exception_ptr failure;

    template <class Call>
    bool guarded(Call&& call) {
        try {
            return call();
        } catch (...) {
            failure = std::current_exception();
            stopped = true;
            return false;
        }
    }

    // Hands the final response's status and headers to onResponse once.
    bool announce() {
        if (responseAnnounced) return !stopped;
        responseAnnounced = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        response->status = static_cast<int>(status);
        if (callbacks->onResponse && !guarded([&] { return callbacks->onResponse(*response); })) stopped = true;
        return !stopped;
    }
};

size_t onHeaderLine(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    t->lastActivity = std::chrono::steady_clock::now();
    const std::string_view line = trimWhitespace(std::string_view(data, length));
    const bool kept = t->guarded([&] {
        if (line.starts_with("HTTP/")) {
            t->response->headers.clear();  // a new response (redirect, 100 Continue) begins
        } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
            t->response->headers.emplace_back(std::string(trimWhitespace(line.substr(0, colon))),
                                              std::string(trimWhitespace(line.substr(colon + 1))));
        }
        return true;
    });
    return kept ? length : 0;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    t->lastActivity = std::chrono::steady_clock::now();
    if (!t->announce()) return 0;
    const bool taken = t->guarded([&] {
        if (t->callbacks->onData) return t->callbacks->onData(data, length);
        if (t->response->body.size() + length > t->maxBodyBytes) {
            t->limitError = "the body is larger than " + std::to_string(t->maxBodyBytes) + " bytes";
            return false;
        }
        t->response->body.append(data, length);
        return true;
    });
    if (!taken) {
        t->stopped = true;
        return 0;
    }
    return length;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* t = static_cast<Transfer*>(user);
    if (downloaded != t->lastDown || uploaded != t->lastUp) {
        t->lastDown = downloaded;
        t->lastUp = uploaded;
        t->lastActivity = std::chrono::steady_clock::now();
    }
    return 0;
}

// The host part of an address ("?" when there is none).
std::string hostOf(const std::string& url) {
    std::string host = "?";
    CURLU* parsed = curl_url();
    if (!parsed) return host;
    char* part = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
        host = part;
    }
    curl_free(part);
    curl_url_cleanup(parsed);
    return host;
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringAsciiCase(key, name)) return value;
    }
    return std::nullopt;
}

std::optional<uint64_t> HttpResponse::contentLength() const {
    const auto value = header("Content-Length");
    return value ? parseInteger<uint64_t>(*value) : std::nullopt;
}

HttpResponse HttpClient::send(const HttpRequest& request, const HttpCallbacks& callbacks) const {
    initCurlOnce();
    HttpResponse response;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        response.error = "could not create an HTTP transfer";
        return response;
    }

    Transfer t;
    t.maxBodyBytes = request.maxBodyBytes;
    t.callbacks = &callbacks;
    t.response = &response;
    t.easy = easy.get();
    t.lastActivity = std::chrono::steady_clock::now();

    std::unique_ptr<curl_slist, SlistDeleter> headerList;
    for (const auto& [name, value] : request.headers) {
        headerList.reset(curl_slist_append(headerList.release(), (name + ": " + value).c_str()));
    }
    headerList.reset(curl_slist_append(headerList.release(), "Expect:"));

    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    const bool startsSecure = equalsIgnoringAsciiCase(std::string_view(request.url).substr(0, 8), "https://");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, startsSecure ? "https" : "http,https");
    if (!request.trustedCaFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, request.trustedCaFile.c_str());
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, request.maxRedirects);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeaderLine);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    if (request.method != "GET" || !request.body.empty()) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
        if (request.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const auto started = std::chrono::steady_clock::now();
    curl_multi_add_handle(multi.get(), e);
    CURLcode result = CURLE_OK;
    bool finished = false;
    for (;;) {
        int running = 0;
        const CURLMcode mc = curl_multi_perform(multi.get(), &running);
        if (mc != CURLM_OK) {
            response.error = curl_multi_strerror(mc);
            break;
        }
        if (running == 0) {
            int pending = 0;
            while (CURLMsg* message = curl_multi_info_read(multi.get(), &pending)) {
                if (message->msg == CURLMSG_DONE) result = message->data.result;
            }
            finished = true;
            break;
        }
        if (t.stopped || (callbacks.onTick && !t.guarded([&] { return callbacks.onTick(); }))) {
            t.stopped = true;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - t.lastActivity > request.idleTimeout) {
            response.error = "no data for " + std::to_string(request.idleTimeout.count()) + " ms";
            break;
        }
        if (request.totalTimeout.count() > 0 && now - started > request.totalTimeout) {
            t.limitError = "not done within " + std::to_string(request.totalTimeout.count()) + " ms";
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr);
    }
    curl_multi_remove_handle(multi.get(), e);

    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int>(status);
    if (response.status == 0) response.headers.clear();
    if (finished && result == CURLE_OK && !t.stopped) {
        t.announce();  // a response without a body
        response.complete = !t.stopped;
    }
    if (t.failure) std::rethrow_exception(t.failure);
    if (finished && result == CURLE_UNSUPPORTED_PROTOCOL && startsSecure) {
        const char* next = nullptr;
        curl_easy_getinfo(e, CURLINFO_REDIRECT_URL, &next);
        if (!next) curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &next);
        const std::string host = hostOf(next ? next : "");
        t.limitError = "refused a redirect from https to plain http (host " + host + ")";
        logMessage("Error! Refused a redirect from https to plain http; host %s.\n", host.c_str());
    }
    if (!t.limitError.empty()) {
        if (t.limitError.rfind("refused", 0) != 0) {
            logMessage("Error! HTTP transfer from %s stopped: %s.\n", hostOf(request.url).c_str(), t.limitError.c_str());
        }
        response.complete = false;
        response.error = t.limitError;
        return response;
    }
    response.cancelled = t.stopped;
    if (t.stopped) {
        response.error = "stopped by the caller";
    } else if (finished && result != CURLE_OK) {
        response.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(result);
    }
    return response;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
