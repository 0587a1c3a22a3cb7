#include "external/support/external_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/log.h"

extern char** environ;

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace qz::test {

namespace {

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int msLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

CapturedLog::CapturedLog() {
    qzai::startLog(m_dir.path().string(), "T: ");
    qzai::setLogVerbosity(2);
}

void CapturedLog::restart() {
    qzai::startLog(m_dir.path().string(), "T: ");
    qzai::setLogVerbosity(2);
}

CapturedLog::~CapturedLog() {
    qzai::closeLog();
    qzai::setLogVerbosity(1);
}

std::string CapturedLog::text() const { return readFile(m_dir.path() / qzai::kStartLogFileName); }

int CapturedLog::count(const std::string& needle) const {
    const std::string all = text();
    int found = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++found;
    return found;
}

std::vector<pid_t> childrenOfThisProcess() {
    std::vector<pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return children;
    const std::string me = std::to_string(::getpid());
    while (dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state, parent;
        fields >> state >> parent;
        if (parent == me) children.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
    }
    ::closedir(proc);
    return children;
}

std::set<std::string> shmNamesInDescriptor(const std::string& descriptor) {
    std::set<std::string> names;
    std::istringstream fields(descriptor);
    std::string field;
    while (std::getline(fields, field, '|')) {
        if (field.rfind("Global_RandomSHM_", 0) == 0 || field.rfind("/proc/self/fd/", 0) == 0) names.insert(field);
    }
    return names;
}

std::set<std::string> shmNamesOf(pid_t pid) {
    const std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::set<std::string> names;
    size_t start = 0;
    while (start < cmdline.size()) {
        const size_t end = cmdline.find('\0', start);
        for (const auto& name : shmNamesInDescriptor(cmdline.substr(start, end - start))) names.insert(name);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return names;
}

namespace {

std::string linkText(const std::filesystem::path& link) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(link, error);
    return error ? std::string() : target.string();
}

}  // namespace

bool shmNameExists(const std::string& name) {
    // A segment path names a descriptor of this process; a label, a segment
    // still open here under that label (or an old-style name in /dev/shm).
    if (name.rfind("/proc/self/fd/", 0) == 0) return linkText(name).rfind("/memfd:Global_RandomSHM_", 0) == 0;
    if (std::filesystem::exists("/dev/shm/" + name)) return true;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        if (linkText(entry.path()).rfind("/memfd:" + name, 0) == 0) return true;
    }
    return false;
}

std::string waitForFileText(const std::filesystem::path& file, const std::string& needle,
                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(watch, file.parent_path().c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    std::string text = readFile(file);
    while (text.find(needle) == std::string::npos) {
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0) break;
        char events[4096];
        if (::read(watch, events, sizeof events) < 0) break;
        text = readFile(file);
    }
    ::close(watch);
    return text;
}

bool threadIsSleeping(pid_t tid) {
    const std::string stat = readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t close = stat.rfind(")");
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

bool waitForProcessEnd(pid_t pid, std::chrono::milliseconds timeout) {
    const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (handle < 0) return errno == ESRCH;
    pollfd p{handle, POLLIN, 0};
    const bool ended = ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
    ::close(handle);
    return ended;
}

PipedChild::PipedChild(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    m_out = pipeFds[0];
    if (rc != 0) throw std::runtime_error("spawn " + argv[0]);
}

PipedChild::~PipedChild() {
    if (!m_reaped) {
        ::kill(-m_pid, SIGKILL);
        reap();
    }
    ::close(m_out);
}

std::string PipedChild::readLine(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t end;
        while ((end = m_pending.find('\n')) != std::string::npos) {
            const std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
        }
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0) return {};
        char buffer[512];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0) return {};
        m_pending.append(buffer, static_cast<size_t>(n));
    }
}

int PipedChild::reap() {
    int status = -1;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_reaped = true;
    return status;
}

TcpPeer::TcpPeer(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{peerProgram(), "--listen", "0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    m_child = std::make_unique<PipedChild>(argv);
    m_port = static_cast<uint16_t>(std::stoi(m_child->readLine("PORT ", std::chrono::seconds(10))));
}

TcpPeer::~TcpPeer() = default;

}  // namespace qz::test
