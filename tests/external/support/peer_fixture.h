// A test fixture for external processes on qz_peer over either transport. At
// the end of each test it checks that this process has no child left (alive
// or zombie) and that every shared-memory name the log says was created is
// gone.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "external/external_process.h"
#include "external/support/external_support.h"

namespace qz::test {

enum class Transport { SharedMemory, Tcp };

inline const char* transportName(Transport transport) {
    return transport == Transport::SharedMemory ? "shared memory" : "TCP";
}

class PeerFixture : public ::testing::Test {
protected:
    using ExternalProcess = vms_server_plugins::analytics::qzai::ExternalProcess;

    void TearDown() override {
        processes.clear();
        peers.clear();
        EXPECT_TRUE(childrenOfThisProcess().empty()) << "a child process was left behind";
        const std::string text = log.text();
        const std::regex created("Created SHM \"(Global_RandomSHM_[0-9A-F]{8})\" as");
        for (std::sregex_iterator it(text.begin(), text.end(), created), end; it != end; ++it) {
            EXPECT_FALSE(shmNameExists((*it)[1])) << (*it)[1];
        }
    }

    // qz_peer with "--Behaviour <behaviour>" and further "--key value" pairs.
    ExternalProcess* start(Transport transport, const std::string& behaviour,
                           std::vector<std::string> options = {}, const std::string& logFile = "") {
        options.insert(options.begin(), {"--Behaviour", behaviour});
        std::unique_ptr<ExternalProcess> process;
        if (transport == Transport::SharedMemory) {
            process = ExternalProcess::create(peerProgram(), logFile, options, {});
        } else {
            peers.push_back(std::make_unique<TcpPeer>(options));
            process = ExternalProcess::createTcp(peers.back()->port());
        }
        processes.push_back(std::move(process));
        return processes.back().get();
    }

    static std::optional<std::string> exchange(ExternalProcess& process, const std::string& request,
                                               uint32_t timeoutMs = 5000) {
        if (!process.sendInput({reinterpret_cast<const uint8_t*>(request.data()), request.size()})) return std::nullopt;
        return receive(process, timeoutMs);
    }

    static std::optional<std::string> receive(ExternalProcess& process, uint32_t timeoutMs) {
        const auto response = process.receiveOutput(timeoutMs);
        if (!response) return std::nullopt;
        std::string text(reinterpret_cast<const char*>(response->data()), response->size());
        process.releaseOutput();
        return text;
    }

    CapturedLog log;
    std::vector<std::unique_ptr<TcpPeer>> peers;
    std::vector<std::unique_ptr<ExternalProcess>> processes;
};

}  // namespace qz::test
