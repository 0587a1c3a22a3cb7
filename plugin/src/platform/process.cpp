#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

extern char** environ;

namespace qz::vms_server_plugins::analytics::qzai {

std::vector<std::string> splitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool inQuotes = false;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        const char c = commandLine[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
                current.push_back('"');
                ++i;
            } else if (c == '"') {
                inQuotes = false;
            } else {
                current.push_back(c);
            }
        } else if (c == ' ' || c == '\t') {
            if (inArgument) args.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            inArgument = true;
            if (c == '"') {
                inQuotes = true;
            } else {
                current.push_back(c);
            }
        }
    }
    if (inArgument) args.push_back(std::move(current));
    return args;
}

namespace {

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The PATH of an environment given as "NAME=value" entries (the first one,
// as getenv reads it); empty when it has none, so that nothing is looked up.
std::optional<std::string> pathOf(const std::vector<std::string>& environment) {
    for (const auto& entry : environment) {
        if (entry.compare(0, 5, "PATH=") == 0) return entry.substr(5);
    }
    return std::nullopt;
}

constexpr int kInputBufferBytes = 1 << 20;

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string findProgramInPath(const std::string& program, const std::string& path) {
    if (program.empty() || program.find('/') != std::string::npos) return {};
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(':', start);
        const std::string_view dir =
            std::string_view(path).substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate(dir.empty() ? std::string_view(".") : dir);
        if (candidate.back() != '/') candidate += '/';
        candidate += program;
        if (isExecutableFile(candidate)) return candidate;
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, const StartOptions& options,
                                                  std::string* error) {
    const bool captureOutput = options.captureOutput;
    auto fail = [&](const std::string& why) -> std::unique_ptr<ChildProcess> {
        if (error) *error = why;
        return nullptr;
    };
    if (argv.empty() || argv[0].empty()) return fail("empty command line");

    int pipeFds[2] = {-1, -1};
    if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    int inputFds[2] = {-1, -1};  // [0] the parent writes, [1] is the child's standard input
    const auto closeAll = [&] {
        for (int fd : {pipeFds[0], pipeFds[1], inputFds[0], inputFds[1]}) {
            if (fd >= 0) ::close(fd);
        }
    };
    if (options.feedInput && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inputFds) != 0) {
        const std::string why = std::string("socketpair: ") + std::strerror(errno);
        closeAll();
        return fail(why);
    }
    if (options.feedInput) {
        ::shutdown(inputFds[0], SHUT_RD);
        ::shutdown(inputFds[1], SHUT_WR);
        ::fcntl(inputFds[0], F_SETFL, ::fcntl(inputFds[0], F_GETFL) | O_NONBLOCK);
        // A deep buffer lets the child read on while the parent prepares the
        // next block (the kernel caps the size at its configured maximum).
        ::setsockopt(inputFds[0], SOL_SOCKET, SO_SNDBUF, &kInputBufferBytes, sizeof kInputBufferBytes);
    }

    SpawnActions spawn;
    if (options.feedInput) {
        posix_spawn_file_actions_adddup2(&spawn.actions, inputFds[1], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (captureOutput) {
        posix_spawn_file_actions_adddup2(&spawn.actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&spawn.actions, pipeFds[1], STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&spawn.actions, STDOUT_FILENO, STDERR_FILENO);
    }
    posix_spawn_file_actions_addclosefrom_np(&spawn.actions, 3);

    std::vector<char*> cArgs;
    cArgs.reserve(argv.size() + 1);
    for (const auto& arg : argv) cArgs.push_back(const_cast<char*>(arg.c_str()));
    cArgs.push_back(nullptr);

    SpawnAttributes attributes;
    if (options.newProcessGroup) {
        posix_spawnattr_setpgroup(&attributes.attributes, 0);
        posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETPGROUP);
    }

    pid_t pid = -1;
    int rc = 0;
    if (options.environment) {
        // posix_spawnp would search the parent's PATH; resolve against the
        // child's own environment instead.
        std::string program = argv[0];
        if (program.find('/') == std::string::npos) {
            const auto path = pathOf(*options.environment);
            program = path ? findProgramInPath(program, *path) : std::string();
        }
        std::vector<char*> cEnv;
        cEnv.reserve(options.environment->size() + 1);
        for (const auto& entry : *options.environment) cEnv.push_back(const_cast<char*>(entry.c_str()));
        cEnv.push_back(nullptr);
        rc = program.empty() ? ENOENT
                             : ::posix_spawn(&pid, program.c_str(), &spawn.actions, &attributes.attributes,
                                             cArgs.data(), cEnv.data());
    } else {
        rc = ::posix_spawnp(&pid, cArgs[0], &spawn.actions, &attributes.attributes, cArgs.data(), environ);
    }
    if (rc != 0) {
        closeAll();
        return fail(argv[0] + ": " + std::strerror(rc));
    }
    if (captureOutput) ::close(pipeFds[1]);
    if (options.feedInput) ::close(inputFds[1]);
    return std::make_unique<ChildProcess>(StartedKey{}, pid, pipeFds[0], inputFds[0], options.newProcessGroup);
}

ChildProcess::~ChildProcess() {
    closeInput();
    closeOutput();
    if (!m_exitCode) {
        killGroup();
        kill();
        reap(true);
    }
}

void ChildProcess::closeOutput() {
    if (m_outputFd >= 0) ::close(m_outputFd);
    m_outputFd = -1;
}

void ChildProcess::closeInput() {
    if (m_inputFd >= 0) ::close(m_inputFd);
    m_inputFd = -1;
}

std::string ChildProcess::readAllOutput() {
    std::string output;
    if (m_outputFd < 0) return output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_outputFd, buffer, sizeof(buffer));
        if (n > 0) {
            output.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    closeOutput();
    return output;
}

std::optional<int> ChildProcess::reap(bool block) {
    if (m_exitCode) return m_exitCode;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == m_pid) {
        m_exitCode = decodeStatus(status);
    } else if (r < 0) {
        m_exitCode = -1;  // already reaped elsewhere (e.g. SIGCHLD ignored)
    }
    return m_exitCode;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto code = reap(false)) return code;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::wait() { return *reap(true); }

void ChildProcess::kill() {
    if (!m_exitCode && m_pid > 0) ::kill(m_pid, SIGKILL);
}

void ChildProcess::killGroup() {
    // The group keeps the leader's id while any member lives, so the id
    // cannot have been reused even after the leader was reaped.
    if (m_groupLeader && m_pid > 0) ::kill(-m_pid, SIGKILL);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
