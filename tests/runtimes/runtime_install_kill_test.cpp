// An installation in a child program (qz_runtime_install_child), killed at
// chosen moments or run with a file-size limit. Afterwards the bin folder
// holds either no installed runtime (and the next installation succeeds and
// clears the leftovers) or the whole runtime, never a partial tree taken for
// an installed one.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <chrono>
#include <fcntl.h>
#include <random>
#include <thread>

#include "common/support/log_capture.h"
#include "runtimes/support/install_rig.h"

extern char** environ;

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

std::string machinePath() {
    utsname names{};
    uname(&names);
    return std::string("CPU/") + names.machine + "/Linux/library.tar.gz";
}

std::string randomBytes(size_t size) {
    std::mt19937 generator(3);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(generator());
    return out;
}

// The child in a process group of its own, its output discarded.
class Child {
public:
    Child(const std::string& bin, const std::string& repository, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {QZ_RUNTIME_INSTALL_CHILD, "--bin",    bin, "--repository",
                                         repository,               "--choose", "Generic CPU"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~Child() {
        if (m_pid > 0) kill();
    }
    void kill() {
        ::kill(-m_pid, SIGKILL);
        wait();
    }
    int wait() {
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid) m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

struct Package {
    std::string bytes;
    std::map<std::string, std::string> files;  // relative name -> content
};

Package bigPackage(size_t weights) {
    Package p;
    p.files = {{"RuntimeLibrary.dll", "library"},
               {"runtime_args.json", "{\"name\": \"killed\"}"},
               {"lib/libhelper.so", "helper"},
               {"weights.bin", randomBytes(weights)}};
    qz::test::PackageBuilder builder;
    for (const auto& [name, content] : p.files) builder.file(name, content);
    p.bytes = builder.build();
    return p;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The folder after a kill: not installed, or installed whole.
void expectWholeOrNothing(const fs::path& bin, const Package& package, const std::string& repository,
                          const std::string& when) {
    const fs::path runtime = bin / "inference_engine";
    qzai::RuntimesManager fresh(bin.string(), qzai::PlatformServices(), qzai::RuntimesConfig{});
    if (fresh.isRuntimeInstalled()) {
        EXPECT_EQ(readFile(runtime / "installed_runtime.txt"), "Generic CPU") << when;
        for (const auto& [name, content] : package.files) EXPECT_TRUE(readFile(runtime / name) == content) << when << name;
        return;
    }
    Child again(bin.string(), repository);
    ASSERT_TRUE(again.started());
    EXPECT_EQ(again.wait(), 0) << when;
    for (const auto& [name, content] : package.files) EXPECT_TRUE(readFile(runtime / name) == content) << when << name;
    for (const auto& entry : fs::directory_iterator(runtime)) {
        EXPECT_NE(entry.path().filename().string().rfind(".staging-", 0), 0u) << when;
    }
    for (const auto& entry : fs::directory_iterator(bin / "runtime_cache")) {
        EXPECT_NE(entry.path().extension(), ".part") << when;
    }
}

bool stagingHoldsPartOf(const fs::path& runtime, const std::string& name) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtime, ec)) {
        if (entry.path().filename().string().rfind(".staging-", 0) != 0) continue;
        std::error_code sizeError;
        const auto size = fs::file_size(entry.path() / name, sizeError);
        if (!sizeError && size > 0) return true;
    }
    return false;
}

}  // namespace

TEST(RuntimeInstallKill, KilledWhileUnpackingABigMember) {
    const Package package = bigPackage(64u << 20);
    qz::test::PackageRepository repository;
    repository.serve(machinePath(), qz::test::served(package.bytes));
    qz::test::TempDir bin;
    {
        Child child(bin.path().string(), repository.base());
        ASSERT_TRUE(child.started());
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!stagingHoldsPartOf(bin.path() / "inference_engine", "weights.bin") &&
               std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::yield();
        }
        child.kill();
    }
    expectWholeOrNothing(bin.path(), package, repository.base(), "killed while unpacking");
}

TEST(RuntimeInstallKill, KillSweepAcrossTheWholeInstallation) {
    const Package package = bigPackage(8u << 20);
    qz::test::PackageRepository repository;
    repository.serve(machinePath(), qz::test::served(package.bytes));
    // One undisturbed run gives the span the kills are spread over.
    std::chrono::nanoseconds span;
    {
        qz::test::TempDir bin;
        const auto start = std::chrono::steady_clock::now();
        Child child(bin.path().string(), repository.base());
        ASSERT_EQ(child.wait(), 0);
        span = std::chrono::steady_clock::now() - start;
    }
    for (int i = 1; i <= 20; ++i) {
        qz::test::TempDir bin;
        {
            Child child(bin.path().string(), repository.base());
            ASSERT_TRUE(child.started());
            // A fault injected at a point of the run, not a wait for it.
            std::this_thread::sleep_for(span * i / 21);
            child.kill();
        }
        expectWholeOrNothing(bin.path(), package, repository.base(), "kill " + std::to_string(i));
    }
}

TEST(RuntimeInstallKill, FullDiskFailsTheInstallation) {
    // Zeros pack small: the package fits under a limit its member exceeds.
    Package package;
    package.files = {{"RuntimeLibrary.dll", "library"}, {"zz_zeros.bin", std::string(8u << 20, '\0')}};
    qz::test::PackageBuilder builder;
    for (const auto& [name, content] : package.files) builder.file(name, content);
    package.bytes = builder.build();
    ASSERT_LT(package.bytes.size(), 1u << 20);
    qz::test::PackageRepository repository;
    repository.serve(machinePath(), qz::test::served(package.bytes));
    for (const size_t limit : {package.bytes.size() / 2, size_t{1} << 20}) {
        qz::test::TempDir bin;
        Child child(bin.path().string(), repository.base(), {"--fsize-limit", std::to_string(limit)});
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.wait(), 1) << limit;
        const fs::path runtime = bin.path() / "inference_engine";
        EXPECT_FALSE(fs::exists(runtime / "installed_runtime.txt")) << limit;
        EXPECT_FALSE(fs::exists(runtime / "RuntimeLibrary.dll")) << limit;
        expectWholeOrNothing(bin.path(), package, repository.base(), "after a full disk");
    }
}

TEST(RuntimeInstallKill, AServerThatIsNotRootInstallsReadOnlyFoldersAndClearsLeftovers) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the child as another user";
    qz::test::PackageRepository repository;
    repository.serve(machinePath(), qz::test::served(qz::test::ustarArchive(
                                        {{"RuntimeLibrary.dll", '0', "library", "", 0755},
                                         {"docs", '5', "", "", 0555},
                                         {"docs/readme", '0', "read me", "", 0444}})));
    qz::test::TempDir bin;
    const fs::path runtime = bin.path() / "inference_engine";
    fs::create_directories(runtime / ".staging-1-0" / "ro");  // what a run cut short left, read-only
    for (const auto& entry : fs::recursive_directory_iterator(bin.path())) ::chown(entry.path().c_str(), 65534, 65534);
    ::chown(bin.path().c_str(), 65534, 65534);
    ::chmod((runtime / ".staging-1-0").c_str(), 0555);
    Child child(bin.path().string(), repository.base(), {"--user", "65534"});
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(readFile(runtime / "docs" / "readme"), "read me");
    EXPECT_FALSE(fs::exists(runtime / ".staging-1-0"));
    for (const auto& entry : fs::directory_iterator(runtime)) EXPECT_NE(entry.path().filename().string()[0], '.');
}
