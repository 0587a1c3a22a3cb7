#include "host/runtime_repository.h"

#include <httplib.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "host/test_crypto.h"

extern char** environ;

namespace qz::test_host {

namespace fs = std::filesystem;

namespace {

// Runs argv (looked up in PATH, no shell) and returns its exit code.
int runProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string machineName() {
    utsname names{};
    if (uname(&names) != 0) return "x86_64";
    return names.machine;
}

}  // namespace

RuntimeRepository::RuntimeRepository(const std::string& runtimeLibrary, const std::string& runtimeArgsJson,
                                     const std::string& workFolder)
    : m_packagePath("/PELM/runtimes/2.0.0/CPU/" + machineName() + "/Linux/library.tar.gz"),
      m_server(std::make_unique<httplib::Server>()) {
    const fs::path tree = fs::path(workFolder) / "package";
    fs::create_directories(tree);
    fs::copy_file(runtimeLibrary, tree / "RuntimeLibrary.dll", fs::copy_options::overwrite_existing);
    std::ofstream(tree / "runtime_args.json") << runtimeArgsJson;
    const std::string packed = (fs::path(workFolder) / "library.tar.gz").string();
    if (runProgram({"tar", "-czf", packed, "-C", tree.string(), "."}) != 0) {
        throw std::runtime_error("cannot pack the runtime with tar");
    }
    std::ifstream in(packed, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    m_package = bytes.str();
    m_md5 = md5Hex(m_package);

    m_server->Get(m_packagePath, [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-Checksum-Md5", m_md5);
        response.set_content(m_package, "application/gzip");
        ++m_served;
    });
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) throw std::runtime_error("cannot bind the loopback runtime repository");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

RuntimeRepository::~RuntimeRepository() {
    m_server->stop();
    if (m_thread.joinable()) m_thread.join();
}

std::string RuntimeRepository::base() const { return "http://127.0.0.1:" + std::to_string(m_port); }

}  // namespace qz::test_host
