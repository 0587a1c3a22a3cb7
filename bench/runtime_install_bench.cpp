// Installing a 64 MB, 2,000-file runtime package from a loopback repository
// (download, MD5, listing, staging, checks, merge) against the same download
// followed by one plain `tar -xf` into a folder, measured in the same run.
// The ratio shows what the listing pass and the checks cost; it grows when
// the merge copies instead of renaming, or when per-file work grows with the
// tree.
#include <benchmark/benchmark.h>
#include <sys/utsname.h>

#include <memory>
#include <random>
#include <vector>

#include "common/download.h"
#include "common/messaging_manager.h"
#include "common/run_command.h"
#include "common/support/log_capture.h"
#include "common/support/temp_dir.h"
#include "runtimes/runtimes_manager.h"
#include "runtimes/support/package_builder.h"
#include "runtimes/support/package_repository.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

constexpr int kFiles = 2000;
constexpr size_t kFileSize = (64u << 20) / kFiles;

struct Repository {
    qz::test::PackageRepository server;
    std::string path;
    Repository() {
        utsname names{};
        uname(&names);
        path = std::string("CPU/") + names.machine + "/Linux/library.tar.gz";
        std::mt19937 generator(5);
        std::string bytes(kFileSize, '\0');
        qz::test::PackageBuilder builder;
        builder.file("RuntimeLibrary.dll", "library", 0755);
        for (int i = 1; i < kFiles; ++i) {
            for (char& c : bytes) c = static_cast<char>(generator());
            builder.file("models/part" + std::to_string(i / 100) + "/file" + std::to_string(i) + ".bin", bytes);
        }
        server.serve(path, qz::test::served(builder.build()));
    }
};

Repository& repository() {
    static Repository instance;
    return instance;
}

void BM_RuntimeInstall(benchmark::State& state) {
    Repository& repo = repository();
    qzai::RuntimesConfig config;
    config.repositoryBase = repo.server.base();
    qz::test::LogCapture quiet;
    std::vector<std::unique_ptr<qz::test::TempDir>> folders;  // removed after the timing
    for (auto _ : state) {
        state.PauseTiming();
        folders.push_back(std::make_unique<qz::test::TempDir>());
        qzai::MessagingManager messages;
        auto manager = std::make_unique<qzai::RuntimesManager>(folders.back()->path().string(),
                                                               qzai::PlatformServices(), config);
        manager->initialize(messages);
        state.ResumeTiming();
        manager->installRuntime("Generic CPU", messages, false);
        if (manager->state() != qzai::RuntimeState::Ready) state.SkipWithError("installation failed");
    }
}

void BM_DownloadAndPlainTar(benchmark::State& state) {
    Repository& repo = repository();
    qz::test::LogCapture quiet;
    std::vector<std::unique_ptr<qz::test::TempDir>> folders;  // removed after the timing
    for (auto _ : state) {
        state.PauseTiming();
        folders.push_back(std::make_unique<qz::test::TempDir>());
        const qz::test::TempDir& folder = *folders.back();
        qzai::MessagingManager messages;
        const std::string package = (folder.path() / "library.tar.gz").string();
        std::filesystem::create_directories(folder.path() / "out");
        state.ResumeTiming();
        std::string md5;
        if (!qzai::downloadFile(repo.server.url(repo.path), package, messages, "RUNTIME_PACKAGE", "Downloading", nullptr,
                                &md5)) {
            state.SkipWithError("download failed");
        }
        if (qzai::runCommand({"tar", "-xf", package, "-C", (folder.path() / "out").string()}).exitCode != 0) {
            state.SkipWithError("tar failed");
        }
    }
}

}  // namespace

BENCHMARK(BM_DownloadAndPlainTar)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_RuntimeInstall)->Unit(benchmark::kMillisecond)->Iterations(5);
