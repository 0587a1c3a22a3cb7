// The model cache against a loopback model repository: redirects, keys,
// cached copies, and downloads that go wrong.
#include "engine/model_cache.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "common/file_utils.h"
#include "common/support/log_capture.h"
#include "common/support/loopback_http_server.h"
#include "common/support/temp_dir.h"
#include "engine/support/engine_fixture.h"

namespace fs = std::filesystem;
namespace qzai = qz::vms_server_plugins::analytics::qzai;
using qz::engine_test::base64;
using qz::engine_test::encryptModel;

namespace {

const std::string kKey(32, 'k');
const std::string kPlain = "weights of a small model";

struct Repository {
    qz::test::LoopbackHttpServer http;
    std::atomic<int> downloads{0};
    const std::string body = encryptModel(kKey, kPlain);

    Repository() {
        http.server().Get("/moved", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/model"); });
        // Chunked: no Content-Length, so progress is not known in advance.
        http.server().Get("/model", [this, body = body](const httplib::Request&, httplib::Response& r) {
            ++downloads;
            r.set_header("X-Key", base64(kKey));
            r.set_header("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
            r.set_chunked_content_provider("application/octet-stream", [body](size_t offset, httplib::DataSink& sink) {
                if (offset < body.size()) sink.write(body.data() + offset, std::min<size_t>(7, body.size() - offset));
                else sink.done();
                return true;
            });
        });
        http.server().Get("/nokey", [body = body](const httplib::Request&, httplib::Response& r) {
            r.set_content(body, "application/octet-stream");
        });
        http.server().Get("/wrongkey", [body = body](const httplib::Request&, httplib::Response& r) {
            r.set_header("X-Key", base64(std::string(32, 'x')));
            r.set_content(body, "application/octet-stream");
        });
        http.server().Get("/shortkey", [body = body](const httplib::Request&, httplib::Response& r) {
            r.set_header("X-Key", base64("short"));
            r.set_content(body, "application/octet-stream");
        });
        http.start();
    }
};

std::shared_ptr<qzai::ModelDetails_t> model(const std::string& id, const std::string& url) {
    auto m = std::make_shared<qzai::ModelDetails_t>();
    m->id = id;
    m->name = "Model " + id;
    m->downloadUrl = url;
    m->lastModified = "rev1";
    return m;
}

}  // namespace

TEST(ModelCache, RedirectedDownloadIsKeptWithItsKeyAndReusedUntilItsRevisionChanges) {
    Repository repo;
    qz::test::TempDir data;
    qzai::MessagingManager notices;
    qzai::ModelCache cache(data.path().string(), notices);
    for (const char* folder : {"cache", "model_files", "keys"}) EXPECT_TRUE(fs::is_directory(data.path() / folder));

    // What is prepared for a Ready model is in place before anyone sees Ready.
    int prepared = 0;
    const auto prepare = [&](qzai::ModelDetails_t& m) { prepared += m.downloadState != qzai::ModelDownloadState::Ready; };
    auto first = model("{m-1}", repo.http.url("/moved"));
    ASSERT_EQ(cache.ensureModel(*first, prepare), qzai::ModelDownloadState::Ready)
        << ::testing::PrintToString(first->errorsCopy());
    EXPECT_EQ(first->downloadProgress.load(), 100u);
    EXPECT_EQ(qzai::readTextFile(first->modelFilePath), repo.body);
    EXPECT_EQ(qzai::readTextFile(first->keyFilePath), kKey);
    EXPECT_EQ(repo.downloads.load(), 1);

    // A fresh record of the same revision (an engine restart) takes the cached copy.
    qzai::ModelCache restarted(data.path().string(), notices);
    auto again = model("{m-1}", repo.http.url("/moved"));
    EXPECT_EQ(restarted.ensureModel(*again, prepare), qzai::ModelDownloadState::Ready);
    EXPECT_EQ(repo.downloads.load(), 1);
    EXPECT_EQ(prepared, 2);

    auto revised = model("{m-1}", repo.http.url("/moved"));
    revised->lastModified = "rev2";
    EXPECT_EQ(restarted.ensureModel(*revised), qzai::ModelDownloadState::Ready);
    EXPECT_EQ(repo.downloads.load(), 2);

    // Clearing takes the models, keys and records, and nothing else of "cache".
    std::ofstream(data.path() / "cache" / "other.txt") << "kept";
    restarted.clear();
    EXPECT_FALSE(fs::exists(revised->modelFilePath));
    EXPECT_FALSE(fs::exists(revised->keyFilePath));
    EXPECT_TRUE(fs::exists(data.path() / "cache" / "other.txt"));
    EXPECT_EQ(restarted.ensureModel(*revised), qzai::ModelDownloadState::Ready);
    EXPECT_EQ(repo.downloads.load(), 3);
}

TEST(ModelCache, FailedDownloadsKeepNoFileNameTheReasonAndRaiseANotice) {
    Repository repo;
    qz::test::TempDir data;
    qzai::MessagingManager notices;
    qzai::ModelCache cache(data.path().string(), notices);
    for (const char* path : {"/absent", "/nokey", "/wrongkey", "/shortkey"}) {
        auto m = model(std::string("id") + (path + 1), repo.http.url(path));
        EXPECT_EQ(cache.ensureModel(*m), qzai::ModelDownloadState::Failed) << path;
        EXPECT_EQ(m->errorsCopy().size(), 1u) << path;
        EXPECT_FALSE(fs::exists(m->modelFilePath)) << path;
        EXPECT_FALSE(fs::exists(m->keyFilePath)) << path;
    }
    auto unaddressed = model("nowhere", "");
    EXPECT_EQ(cache.ensureModel(*unaddressed), qzai::ModelDownloadState::Failed);
    EXPECT_EQ(notices.messages().count("MODEL_DOWNLOAD_FAILED"), 1u);
    size_t leftovers = 0;
    for (const auto& entry : fs::recursive_directory_iterator(data.path())) leftovers += entry.is_regular_file();
    EXPECT_EQ(leftovers, 0u);
}

TEST(ModelCache, KeysAndModelsAreTheOwnersAloneAndIdsNeverShareFiles) {
    Repository repo;
    qz::test::TempDir data;
    qzai::MessagingManager notices;
    const mode_t previous = ::umask(022);  // a usual umask: files would be world-readable
    qzai::ModelCache cache(data.path().string(), notices);
    auto slash = model("a/b", repo.http.url("/model"));
    auto underscore = model("a_b", repo.http.url("/model"));
    ASSERT_EQ(cache.ensureModel(*slash), qzai::ModelDownloadState::Ready);
    // Links planted at the cache's own temporaries are replaced, not written through.
    qz::test::TempDir outside;
    const fs::path victim = outside.path() / "victim";
    std::ofstream(victim) << "untouched";
    for (const char* planted : {"keys/a_b.key.tmp", "model_files/a_b.bin.part"}) fs::create_symlink(victim, data.path() / planted);
    ASSERT_EQ(cache.ensureModel(*underscore), qzai::ModelDownloadState::Ready);
    ::umask(previous);
    EXPECT_EQ(qzai::readTextFile(victim.string()), "untouched");
    EXPECT_EQ(repo.downloads.load(), 2);  // the second id does not take the first one's copy
    EXPECT_NE(slash->modelFilePath, underscore->modelFilePath);
    EXPECT_NE(slash->keyFilePath, underscore->keyFilePath);
    const auto mode = [](const fs::path& path) { return fs::status(path).permissions() & fs::perms::all; };
    for (const char* folder : {"cache", "model_files", "keys"}) EXPECT_EQ(mode(data.path() / folder), fs::perms::owner_all);
    for (const auto& path : {slash->modelFilePath, slash->keyFilePath, underscore->keyFilePath}) {
        EXPECT_EQ(mode(path), fs::perms::owner_read | fs::perms::owner_write) << path;
    }
    // Stems: safe ids keep theirs, anything else is escaped one to one.
    const std::pair<const char*, const char*> stems[] = {
        {"{m-1}", "{m-1}"}, {"a_b", "a_b"}, {"a/b", "a%2Fb"}, {"a%2Fb", "a%252Fb"}, {"..", "%2E%2E"}, {"", "%"}};
    for (const auto& [id, stem] : stems) EXPECT_EQ(qzai::modelFileStem(id), stem) << id;
}

TEST(ModelCache, HostileRepositoriesEndTheDownloadWithoutAFileOrALeakedToken) {
    Repository repo;
    repo.http.server().Get("/endless", [](const httplib::Request&, httplib::Response& r) {
        r.set_header("X-Key", base64(kKey));
        r.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
            return sink.write(std::string(4096, 'x').data(), 4096);  // never ends
        });
    });
    qz::test::TempDir data;
    qzai::MessagingManager notices;
    qzai::ModelCache cache(data.path().string(), notices);
    qz::test::LogCapture log;

    // Longer than the model's announced size (chunked: no Content-Length).
    auto endless = model("endless", repo.http.url("/endless?signature=s3cret"));
    endless->downloadSize = 100000;
    EXPECT_EQ(cache.ensureModel(*endless), qzai::ModelDownloadState::Failed);
    EXPECT_NE(endless->errorsCopy().at(0).find("longer than its announced 100000 bytes"), std::string::npos);

    // No answer at all: the error shown names the address without its query.
    auto silent = model("silent", "http://127.0.0.1:1/m?signature=s3cret");
    EXPECT_EQ(cache.ensureModel(*silent), qzai::ModelDownloadState::Failed);
    EXPECT_NE(silent->errorsCopy().at(0).find("http://127.0.0.1:1/m"), std::string::npos);

    for (const auto& m : {endless, silent}) {
        for (const auto& error : m->errorsCopy()) EXPECT_EQ(error.find("s3cret"), std::string::npos) << error;
    }
    EXPECT_EQ(log.count("s3cret"), 0u);
    size_t leftovers = 0;
    for (const auto& entry : fs::recursive_directory_iterator(data.path())) leftovers += entry.is_regular_file();
    EXPECT_EQ(leftovers, 0u);
}
