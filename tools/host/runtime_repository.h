// RuntimeRepository: the runtime package repository of the test road. It
// packs a runtime library as "RuntimeLibrary.dll" with its
// "runtime_args.json" using the real `tar -czf`, and serves the package on
// 127.0.0.1 at "/PELM/runtimes/2.0.0/CPU/<machine>/Linux/library.tar.gz"
// with its MD5 in "X-Checksum-Md5", the way the plug-in's runtime manager
// expects to download a "Generic CPU" runtime.
//
// The constructor throws std::runtime_error when packing or binding fails;
// the destructor stops the server. served() may be read from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace qz::test_host {

class RuntimeRepository {
public:
    // `workFolder` receives the staged files and the package.
    RuntimeRepository(const std::string& runtimeLibrary, const std::string& runtimeArgsJson,
                      const std::string& workFolder);
    ~RuntimeRepository();
    RuntimeRepository(const RuntimeRepository&) = delete;
    RuntimeRepository& operator=(const RuntimeRepository&) = delete;

    // The base address for the "RuntimeRepositoryURL" configuration key.
    std::string base() const;
    std::string packagePath() const { return m_packagePath; }
    size_t packageSize() const { return m_package.size(); }
    const std::string& md5() const { return m_md5; }
    // Whole package answers sent so far.
    int served() const { return m_served.load(); }

private:
    std::string m_package;
    std::string m_md5;
    std::string m_packagePath;
    std::unique_ptr<httplib::Server> m_server;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<int> m_served{0};
};

}  // namespace qz::test_host
