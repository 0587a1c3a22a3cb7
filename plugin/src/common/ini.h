// The process-wide configuration read from "qz_kelvane_plugin.ini".
//
// File syntax: one "key=value" per line, spaces around key and value ignored,
// lines starting with '#' are comments, unknown keys are ignored, and a value
// that cannot be read keeps its default and produces one log line. Booleans
// are true/false/1/0/yes/no (any case); integers are decimal
// (`HTTPRequestTimeout` must be positive).
//
// ini() builds it on first use from the file named by setIniDirectory or
// setIniPath (defaults only when neither was called, or when the file is
// missing) and does not reload it until restartIni(); every returned
// reference stays valid for the life of the process and is safe to read from
// any thread. The setters only take effect before the first ini() call after
// the start or a restartIni().
#pragma once

#include <string>

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr const char* kIniFileName = "qz_kelvane_plugin.ini";

struct Ini {
    int MaxNumberConcurrentInputOutputThreads = 8;
    int MaxNumberConcurrentInferences = 8;
    int EngineThroughputWindowSize = 100;
    int ExternalProcessorReadyCheckMaxRetries = 5;
    bool cacheRuntimeArchives = false;
    std::string RuntimesStorageURL;  // empty: the built-in repository
    bool enableNvidiaTRTIntegration = false;
    bool alwaysShowRecoveryButtons = false;

    // Project's choices for the keys below (types, defaults and units).
    bool logToFile = true;            // false: log lines go to standard error
    bool sendFramesOverride = false;  // frames pass even when the camera is inactive
    int HTTPRequestTimeout = 10000;   // milliseconds; bounds each REST/HTTP request
    int HTTPRequestTotalTimeout = 3600;  // seconds; bounds a whole HTTP transfer (a model download too)
    // Seconds a request may stay in the AI runtime unanswered before its
    // input slot is given back (far above any model's latency).
    int InferenceRequestTimeout = 30;
    // Largest runtime package accepted, as downloaded and as unpacked (MiB;
    // every unpacked entry takes at least 4 KiB), and most entries unpacked.
    int maxRuntimePackageMiB = 2048;
    int maxRuntimeUnpackedMiB = 4096;
    int maxRuntimeUnpackedEntries = 100000;
    int logVerbosity = 1;             // 0 silent, 1 basic, 2 verbose
    bool enableProfiling = false;     // ScopedTimer lines
    // Base addresses of the cloud service and of the user documentation.
    // Placeholders on a reserved domain until the deployment sets them.
    std::string CloudServiceURL = "https://cloud.qzai.example";
    std::string DocumentationURL = "https://docs.qzai.example";
    // Base address of the built-in runtime package repository (packages live
    // under "/PELM/runtimes/<version>/" below it); `RuntimesStorageURL`, when
    // set, replaces it together with that path.
    std::string RuntimeRepositoryURL = "https://runtimes.qzai.example";
};

const Ini& ini();

// Reads "qz_kelvane_plugin.ini" from this directory on first use.
void setIniDirectory(const std::string& directory);
// Reads this exact file on first use (tests, or a test option naming a path).
void setIniPath(const std::string& path);

// Forgets the path and the configuration read (when the last plug-in object
// is released), so that the next plug-in reads its own.
void restartIni();

// Parses a configuration file without touching the process-wide one; a
// missing or unreadable file gives the defaults.
Ini loadIniFile(const std::string& path);
Ini parseIniText(const std::string& text, const std::string& sourceName);

}  // namespace qz::vms_server_plugins::analytics::qzai
