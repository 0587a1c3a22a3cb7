// qz_runtime_install_child --bin DIR --repository URL --choose NAME
//                          [--fsize-limit BYTES] [--cache] [--user UID]
//
// Builds a RuntimesManager on the bin folder with this machine's facts and
// the given repository, chooses NAME when a choice is offered, and runs
// passes until the runtime is Ready or the installation failed. Prints the
// final state's name on standard output; exit code 0 for Ready, 1 otherwise,
// 2 for bad arguments. --fsize-limit sets RLIMIT_FSIZE and ignores SIGXFSZ,
// so writes beyond the limit fail (tar inherits both). --user runs the
// installation as that user and group id (a server that is not root).
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/messaging_manager.h"
#include "runtimes/runtimes_manager.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

const char* stateName(qzai::RuntimeState state) {
    switch (state) {
        case qzai::RuntimeState::Detecting: return "Detecting";
        case qzai::RuntimeState::AwaitingSelection: return "AwaitingSelection";
        case qzai::RuntimeState::SelectionMade: return "SelectionMade";
        case qzai::RuntimeState::Installing: return "Installing";
        case qzai::RuntimeState::InstallFailed: return "InstallFailed";
        case qzai::RuntimeState::NoCompatibleRuntime: return "NoCompatibleRuntime";
        case qzai::RuntimeState::Ready: return "Ready";
        case qzai::RuntimeState::ReselectRequested: return "ReselectRequested";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    std::string bin, repository, choice;
    long long fsizeLimit = -1;
    bool cache = false;
    long long user = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--bin") bin = value, ++i;
        else if (arg == "--repository") repository = value, ++i;
        else if (arg == "--choose") choice = value, ++i;
        else if (arg == "--fsize-limit") fsizeLimit = std::atoll(value.c_str()), ++i;
        else if (arg == "--cache") cache = true;
        else if (arg == "--user") user = std::atoll(value.c_str()), ++i;
        else {
            std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
            return 2;
        }
    }
    if (bin.empty() || repository.empty() || choice.empty()) {
        std::fprintf(stderr,
                     "usage: %s --bin DIR --repository URL --choose NAME [--fsize-limit BYTES] [--cache] [--user UID]\n",
                     argv[0]);
        return 2;
    }
    if (fsizeLimit >= 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(fsizeLimit), static_cast<rlim_t>(fsizeLimit)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            std::perror("setrlimit");
            return 2;
        }
    }
    if (user >= 0 && (setgid(static_cast<gid_t>(user)) != 0 || setuid(static_cast<uid_t>(user)) != 0)) {
        std::perror("setuid");
        return 2;
    }
    qzai::RuntimesConfig config = qzai::RuntimesConfig::fromIni();
    config.repositoryBase = repository;
    config.RuntimesStorageURL.clear();
    config.cacheRuntimeArchives = cache;
    qzai::RuntimesManager manager(bin, qzai::PlatformServices(), config);
    qzai::MessagingManager messages;
    manager.initialize(messages);
    const qzai::RuntimeHooks hooks{};
    for (int pass = 0; pass < 10; ++pass) {
        manager.advanceRuntimeState(messages, hooks);
        const qzai::RuntimeState state = manager.state();
        if (state == qzai::RuntimeState::AwaitingSelection) manager.chooseRuntime(choice);
        if (state == qzai::RuntimeState::Ready || state == qzai::RuntimeState::InstallFailed ||
            state == qzai::RuntimeState::NoCompatibleRuntime) {
            break;
        }
    }
    // A pass after Ready makes no change; the name file is written by the
    // pass that installed.
    std::printf("%s\n", stateName(manager.state()));
    return manager.state() == qzai::RuntimeState::Ready ? 0 : 1;
}
