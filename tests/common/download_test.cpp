// downloadFile against a real HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "common/download.h"
#include "common/file_utils.h"
#include "common/qzai_crypto.h"
#include "support/loopback_http_server.h"
#include "support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
using namespace std::chrono_literals;

namespace {

const std::string kHint = "\nPress 'Refresh' to see updated progress.";

std::string pattern(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + static_cast<char>(i % 61));
    return s;
}

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& s = http.server();
        // One request per connection: a body without Content-Length then ends
        // when the server closes the connection.
        s.set_keep_alive_max_count(1);
        s.Get("/file", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("X-Checksum-Md5", qzai::md5Hex(body));
            res.set_content(body, "application/octet-stream");
        });
        s.Get("/redirect", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/file"); });
        s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("not here", "text/plain");
        });
        // Half the body, a stall until the test releases it, then the rest.
        s.Get("/half-then-rest", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(1000, "application/octet-stream", [this](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset == 0) return sink.write(body.data(), 500);
                http.waitForRelease();
                return sink.write(body.data() + offset, 1000 - offset);
            });
        });
        // No Content-Length: 700 bytes, a stall, 300 bytes, end of connection.
        s.Get("/unsized", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider("application/octet-stream", [this](size_t offset, httplib::DataSink& sink) {
                if (offset == 0) return sink.write(body.data(), 700);
                http.waitForRelease();
                sink.write(body.data() + 700, 300);
                sink.done();
                return true;
            });
        });
        // 100 of 1000 bytes, then nothing until released (or the bound).
        s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(1000, "application/octet-stream", [this](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset == 0) return sink.write(body.data(), 100);
                http.waitForRelease();
                return false;
            });
        });
        s.Get("/no-headers-yet", [this](const httplib::Request&, httplib::Response& res) {
            http.waitForRelease();
            res.set_content("late", "text/plain");
        });
        // Announces 1000 bytes, sends 400 and drops the connection.
        s.Get("/truncated", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(1000, "application/octet-stream", [this](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset == 0) return sink.write(body.data(), 400);
                return false;
            });
        });
        http.start();
    }

    bool download(const std::string& path, std::string* md5 = nullptr, const std::atomic<bool>* cancel = nullptr) {
        return qzai::downloadFile(http.url(path), target, notices, "MODEL_DOWNLOAD", "Downloading model", cancel, md5);
    }

    // Waits (bounded) until the notice reads `text`.
    bool noticeBecomes(const std::string& text) {
        for (int i = 0; i < 300; ++i) {
            const auto all = notices.messages();
            const auto it = all.find("MODEL_DOWNLOAD");
            if (it != all.end() && it->second.text == text) {
                return it->second.type == qzai::MessagingManager::MessageType::Info;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    const std::string body = pattern(300'000, 'A');
    qz::test::LoopbackHttpServer http;
    qz::test::TempDir dir;
    const std::string target = dir.file("model.bin");
    qzai::MessagingManager notices;
};

}  // namespace

TEST_F(DownloadTest, CompleteDownloadWritesFileAndReportsAnnouncedMd5) {
    for (const char* path : {"/file", "/redirect"}) {
        SCOPED_TRACE(path);
        std::string md5 = "stale";
        ASSERT_TRUE(download(path, &md5));
        EXPECT_EQ(qzai::readTextFile(target), body);
        EXPECT_EQ(md5, qzai::md5Hex(body));
        EXPECT_TRUE(notices.messages().empty());
    }
    std::string md5 = "stale";
    http.release();
    ASSERT_TRUE(download("/unsized", &md5));
    EXPECT_EQ(md5, "");
}

TEST_F(DownloadTest, ProgressNoticeShowsPercentWithContentLength) {
    auto result = std::async(std::launch::async, [&] { return download("/half-then-rest"); });
    EXPECT_TRUE(noticeBecomes("Downloading model (50%)" + kHint));
    http.release();
    EXPECT_TRUE(result.get());
    EXPECT_EQ(qzai::readTextFile(target), body.substr(0, 1000));
    EXPECT_TRUE(notices.messages().empty());
}

TEST_F(DownloadTest, ProgressNoticeShowsBytesWithoutContentLength) {
    auto result = std::async(std::launch::async, [&] { return download("/unsized"); });
    EXPECT_TRUE(noticeBecomes("Downloading model (700 bytes)" + kHint));
    http.release();
    EXPECT_TRUE(result.get());
    EXPECT_EQ(qzai::readTextFile(target), body.substr(0, 1000));
    EXPECT_TRUE(notices.messages().empty());
}

TEST_F(DownloadTest, CancelDuringStallReturnsPromptlyAndLeavesNoFile) {
    for (const char* path : {"/stall", "/no-headers-yet"}) {
        SCOPED_TRACE(path);
        std::atomic<bool> cancel{false};
        testing::internal::CaptureStderr();
        auto result = std::async(std::launch::async, [&] { return download(path, nullptr, &cancel); });
        if (std::string(path) == "/stall") {
            EXPECT_TRUE(noticeBecomes("Downloading model (10%)" + kHint));
        } else {
            std::this_thread::sleep_for(100ms);
        }
        const auto cancelledAt = std::chrono::steady_clock::now();
        cancel = true;
        ASSERT_EQ(result.wait_for(1s), std::future_status::ready);
        EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 1s);
        EXPECT_FALSE(result.get());
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("Download of " + http.url(path) + " was cancelled by the user.\n"), std::string::npos) << log;
        EXPECT_FALSE(qzai::fileExists(target));
        EXPECT_TRUE(notices.messages().empty());
    }
}

TEST_F(DownloadTest, FailuresReturnFalseWithTheirLogLinesAndNoPartialFile) {
    struct Case {
        std::string url;
        std::string logLine;
        bool keepsExistingFile;
    } cases[] = {
        {http.url("/truncated"), "Download of " + http.url("/truncated") + " was interrupted before completing.\n",
         false},
        {http.url("/missing"), "Error! Could not request file data! Status code: 404\n", true},
        {"http://127.0.0.1:1/nothing", "Failed to download file at: http://127.0.0.1:1/nothing\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        dir.write("model.bin", "previous");
        std::string md5 = "stale";
        testing::internal::CaptureStderr();
        EXPECT_FALSE(qzai::downloadFile(c.url, target, notices, "MODEL_DOWNLOAD", "Downloading model", nullptr, &md5));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
        EXPECT_EQ(qzai::readTextFile(target), c.keepsExistingFile ? std::optional<std::string>("previous") : std::nullopt);
        EXPECT_EQ(md5, "");
        EXPECT_TRUE(notices.messages().empty());
    }

    const std::string unwritable = dir.file("no-such-dir/model.bin");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(qzai::downloadFile(http.url("/file"), unwritable, notices, "N", "p"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error opening file for writing: " + unwritable + "\n"),
              std::string::npos);
}
