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
    CommandOutput output = runCommand(argv, options);
    // A probe parses the whole output; a cut one counts as a failed command.
    if (output.truncated) return {};
    return output;
}

void PlatformServices::print(ConsoleStream stream, const std::string& text) const {
    if (console) console(stream, text);
}

RuntimesConfig RuntimesConfig::fromIni() { return fromIni(ini()); }

RuntimesConfig RuntimesConfig::fromIni(const Ini& config) {
    RuntimesConfig result;
    result.cacheRuntimeArchives = config.cacheRuntimeArchives;
    result.RuntimesStorageURL = config.RuntimesStorageURL;
    result.enableNvidiaTRTIntegration = config.enableNvidiaTRTIntegration;
    result.repositoryBase = config.RuntimeRepositoryURL;
    result.documentationBase = config.DocumentationURL;
    result.maxPackageBytes = static_cast<uint64_t>(config.maxRuntimePackageMiB) << 20;
    result.maxUnpackedBytes = static_cast<uint64_t>(config.maxRuntimeUnpackedMiB) << 20;
    result.maxUnpackedEntries = static_cast<uint64_t>(config.maxRuntimeUnpackedEntries);
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
