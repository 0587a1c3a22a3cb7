// A transfer that starts on https never follows a redirect to plain http: a
// loopback TLS server (self-signed certificate made here) answers redirects.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/http_client.h"
#include "support/log_capture.h"
#include "support/loopback_http_server.h"
#include "support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

// Answers each connection with the fixed response of its request's path.
class TlsServer {
public:
    explicit TlsServer(const std::string& certificateFile) {
        m_key.reset(EVP_EC_gen("P-256"));
        std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
        X509_set_version(certificate.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60);
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
        X509_set_pubkey(certificate.get(), m_key.get());
        X509_NAME* name = X509_get_subject_name(certificate.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate.get(), name);
        for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                         std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, nid, value);
            X509_add_ext(certificate.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
        X509_sign(certificate.get(), m_key.get(), EVP_sha256());
        std::FILE* out = std::fopen(certificateFile.c_str(), "w");
        PEM_write_X509(out, certificate.get());
        std::fclose(out);

        m_context.reset(SSL_CTX_new(TLS_server_method()));
        SSL_CTX_use_certificate(m_context.get(), certificate.get());
        SSL_CTX_use_PrivateKey(m_context.get(), m_key.get());

        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(m_listener, 8);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~TlsServer() {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable()) m_thread.join();
        ::close(m_listener);
    }

    std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(m_port) + path; }
    void answer(const std::string& path, const std::string& response) { m_answers[path] = response; }
    void start() { m_thread = std::thread([this] { serve(); }); }
    int requests() const { return m_requests.load(); }

private:
    void serve() {
        for (;;) {
            const int connection = ::accept(m_listener, nullptr, nullptr);
            if (connection < 0) return;
            SSL* ssl = SSL_new(m_context.get());
            SSL_set_fd(ssl, connection);
            if (SSL_accept(ssl) == 1) {
                std::string request;
                char buffer[1024];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    const int n = SSL_read(ssl, buffer, sizeof(buffer));
                    if (n <= 0) break;
                    request.append(buffer, static_cast<size_t>(n));
                }
                ++m_requests;
                const size_t start = request.find(' ') + 1;
                const std::string path = request.substr(start, request.find(' ', start) - start);
                const auto it = m_answers.find(path);
                const std::string response =
                    it != m_answers.end() ? it->second : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
                SSL_write(ssl, response.data(), static_cast<int>(response.size()));
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
            ::close(connection);
        }
    }

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_key{nullptr, &EVP_PKEY_free};
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_context{nullptr, &SSL_CTX_free};
    int m_listener = -1;
    int m_port = 0;
    std::map<std::string, std::string> m_answers;
    std::atomic<int> m_requests{0};
    std::thread m_thread;
};

std::string redirectTo(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace

TEST(HttpClient, RedirectsFromHttpsNeverLeadToPlainHttp) {
    qz::test::LoopbackHttpServer plain;
    std::atomic<int> plainRequests{0};
    plain.server().Get("/model", [&](const httplib::Request&, httplib::Response& res) {
        ++plainRequests;
        res.set_header("X-Key", "a key handed out over plain http");
        res.set_content("model", "application/octet-stream");
    });
    plain.start();
    qz::test::TempDir dir;
    const std::string certificate = (dir.path() / "server.pem").string();
    TlsServer tls(certificate);
    tls.answer("/to-http", redirectTo(plain.url("/model")));
    tls.answer("/to-https", redirectTo(tls.url("/final")));
    tls.answer("/final", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nsecure");
    tls.start();
    qz::test::LogCapture log;

    struct Case {
        std::string url;
        bool complete;
        std::string body;
    };
    const Case cases[] = {
        {tls.url("/to-https"), true, "secure"},
        {tls.url("/to-http"), false, ""},
        {plain.url("/model"), true, "model"},  // plain http from the start stays allowed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        qzai::HttpRequest request;
        request.url = c.url;
        request.trustedCaFile = certificate;
        const auto response = qzai::HttpClient().send(request);
        EXPECT_EQ(response.complete, c.complete) << response.error;
        EXPECT_EQ(response.body, c.body);
        if (!c.complete) {
            EXPECT_EQ(response.error, "refused a redirect from https to plain http (host 127.0.0.1)");
            EXPECT_FALSE(response.header("X-Key"));
        }
    }
    EXPECT_EQ(plainRequests.load(), 1);  // only the request that started on plain http
    EXPECT_EQ(log.count("Error! Refused a redirect from https to plain http; host 127.0.0.1."), 1u);
}
