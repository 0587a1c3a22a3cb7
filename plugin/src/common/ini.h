// The process-wide configuration read from "qz_kelvane_plugin.ini".
//
// ini() builds it on first use and never reloads it; the returned reference
// stays valid for the life of the process and is safe to read from any thread.
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

struct Ini {
    int MaxNumberConcurrentInputOutputThreads = 8;
    int MaxNumberConcurrentInferences = 8;
    int EngineThroughputWindowSize = 100;
    int ExternalProcessorReadyCheckMaxRetries = 5;
    bool cacheRuntimeArchives = false;
    std::string RuntimesStorageURL;
    bool enableNvidiaTRTIntegration = false;
    bool alwaysShowRecoveryButtons = false;

    bool logToFile = true;
    bool sendFramesOverride = false;
    int HTTPRequestTimeout = 10000;  // milliseconds
    int logVerbosity = 1;
    bool enableProfiling = false;
};

const Ini& ini();

}  // namespace qz::vms_server_plugins::analytics::qzai
