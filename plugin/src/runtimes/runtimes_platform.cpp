#include "runtimes/runtimes_platform.h"

#include <cstdio>

#include "common/ini.h"

namespace qz::vms_server_plugins::analytics::qzai {

PlatformServices::PlatformServices()
    : runCommand([](const std::vector<std::string>& argv, const RunOptions& options) {
          return qzai::runCommand(argv, options);
      }),
      environment(ProcessEnvironment::current()),
      osName(platformOsName()),
      cpuid(readCpuid),
      xgetbv(readXgetbv),
      isLibgompAvailable([](const std::string&) { return true; }),
      console([](ConsoleStream stream, const std::string& text) {
          std::FILE* out = stream == ConsoleStream::Err ? stderr : stdout;
          std::fwrite(text.data(), 1, text.size(), out);
          std::fflush(out);
      }) {}

CommandOutput PlatformServices::run(const std::vector<std::string>& argv) const {
    RunOptions options;
    options.timeout = commandTimeout;
    options.environment = environment.entries();
    return runCommand(argv, options);
}

void PlatformServices::print(ConsoleStream stream, const std::string& text) const {
    if (console) console(stream, text);
}

RuntimesConfig RuntimesConfig::fromIni() {
    const Ini& config = ini();
    RuntimesConfig result;
    result.cacheRuntimeArchives = config.cacheRuntimeArchives;
    result.RuntimesStorageURL = config.RuntimesStorageURL;
    result.enableNvidiaTRTIntegration = config.enableNvidiaTRTIntegration;
    result.repositoryBase = config.RuntimeRepositoryURL;
    result.documentationBase = config.DocumentationURL;
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
