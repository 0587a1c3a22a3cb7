// qz_peer_host: a host process that starts one external process on qz_peer
// (echo) and then waits to be killed. Prints "PEER <pid>" once the child runs.
//   qz_peer_host <path of qz_peer>
#include <unistd.h>

#include <cstdio>

#include "common/log.h"
#include "external/external_process.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qz_peer_host <qz_peer>\n");
        return 2;
    }
    qzai::setLogVerbosity(0);
    auto process = qzai::ExternalProcess::create(argv[1], "", {"--Behaviour", "echo"}, {});
    if (!process) return 1;
    std::printf("PEER %d\n", static_cast<int>(process->processId()));
    std::fflush(stdout);
    for (;;) ::pause();
}
