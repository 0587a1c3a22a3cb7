#include "runtimes/runtime_installer.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>

#include "common/download.h"
#include "common/file_utils.h"
#include "common/gzip_reader.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/messaging_manager.h"
#include "runtimes/listing_judge.h"
#include "runtimes/package_listing.h"
#include "runtimes/package_staging.h"
#include "runtimes/runtimes_manager.h"
#include "runtimes/staging_watch.h"
#include "runtimes/streamed_listing.h"
#include "common/qzai_crypto.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

namespace {

constexpr const char* kExtractionFailedNotice = "RUNTIME_EXTRACTION_FAILED";
constexpr const char* kExtractionFailedText =
    "Failed to extract the runtime package. Please ensure you have a stable Internet connection and enough free "
    "space on your disk.";

// Removes a folder tree when it goes out of scope, unless `stop` holds: what
// is left then goes at the next start, so that a large tree never holds up a
// shutdown.
class ScopedFolder {
public:
    ScopedFolder(std::string path, StopRemoval stop) : m_path(std::move(path)), m_stop(std::move(stop)) {}
    ~ScopedFolder() {
        std::string error;
        if (m_path.empty() || removeTree(m_path, &error, m_stop)) return;
        if (m_stop()) {
            logMessage("Info: The staging folder %s is left for the next start to remove.\n", m_path.c_str());
        } else {
            logMessage("Warning! Failed to remove the staging folder %s\n", error.c_str());
        }
    }
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;

private:
    std::string m_path;
    StopRemoval m_stop;
};

}  // namespace

bool RuntimesManager::install(const std::string& name, MessagingManager& messagingManager, bool intoSubfolder,
                              RuntimeState observed) {
    messagingManager.removeMessage(kExtractionFailedNotice);
    messagingManager.removeMessage("RUNTIME_DOWNLOAD_CORRUPTED");
    messagingManager.removeMessage("NVIDIA_RESTART_REQUIRED");
    if (observed == RuntimeState::Ready) {
        logMessage("Info: runtime is already installed.\n");
        return false;
    }
    // The name becomes a file name below: only a catalogue runtime gets there.
    const auto family = m_runtimeFamilies.find(name);
    if (family == m_runtimeFamilies.end()) {
        logMessage("ERROR: couldn't find a download link for the desired runtime.\n");
        advanceState(observed, RuntimeState::InstallFailed);
        return false;
    }

    m_cancelDownloadRequested = false;
    m_downloadCancelled = false;
    if (m_shutdownRequested) m_cancelDownloadRequested = true;
    clearGpuSdkMessages(messagingManager);
    if (!advanceState(observed, RuntimeState::Installing)) return false;
    const auto fail = [this] {
        advanceState(RuntimeState::Installing, RuntimeState::InstallFailed);
        return false;
    };

    const fs::path target = intoSubfolder ? fs::path(runtimeFolder) / name : fs::path(runtimeFolder);
    for (const std::string& folder : {cacheFolder, runtimeFolder}) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) {
            logMessage("ERROR: Failed to create the folder %s: %s\n", folder.c_str(), ec.message().c_str());
            return fail();
        }
    }
    // Only a shutdown stops removals: after a cancel the loop goes on.
    const StopRemoval shuttingDown = [this] { return m_shutdownRequested.load(); };
    removeInstallationLeftovers(runtimeFolder, cacheFolder, shuttingDown);
    const std::string package = (fs::path(cacheFolder) / (name + ".tar.gz")).string();
    RunOptions options;
    options.timeout = kPackageTarTimeout;
    // The user's cancel, a reselection and shutdown all set this flag.
    options.cancel = &m_cancelDownloadRequested;
    options.environment = m_services.environment.entries();
    // The names as the package holds them (tar would strip "/" and ".."
    // prefixes from the listing), so the checks see what an extraction
    // without those safeguards would write.
    const auto listingArgv = [](const std::string& archive) {
        return std::vector<std::string>{"tar", "--force-local", "--numeric-owner", "--quoting-style=c",
                                        "--absolute-names", "-tvf", archive};
    };
    std::optional<CommandOutput> streamedListing;

    // A package is kept after a failure only when the cache is on and the
    // package is not at fault.
    const auto dropPackage = [&](bool packageAtFault) {
        if (packageAtFault || !m_config.cacheRuntimeArchives) deleteFile(package);
    };
    const auto failedWith = [&](bool packageAtFault) {
        messagingManager.addMessage(kExtractionFailedNotice, kExtractionFailedText,
                                    MessagingManager::MessageType::Warning);
        dropPackage(packageAtFault);
        return fail();
    };
    const auto extractionFailed = [&](int status, const std::string& output, bool packageAtFault) {
        logMessage("ERROR: Failed to extract the runtime package. Tar exit status: %d. Output: %s\n", status,
                   output.c_str());
        return failedWith(packageAtFault);
    };
    const auto unsafePackage = [&](const std::string& entry, const std::string& reason) {
        logMessage("ERROR: The runtime package %s holds an unsafe entry: %s (%s)\n", package.c_str(), entry.c_str(),
                   reason.c_str());
        return failedWith(true);
    };
    const auto cancelled = [&] {
        logMessage("Info: Installation of the runtime %s was cancelled.\n", name.c_str());
        m_downloadCancelled = true;
        dropPackage(false);
        return fail();
    };
    const PackageLimits limits{m_config.maxUnpackedBytes, m_config.maxUnpackedEntries};
    const auto pastLimits = [&](const StagedSize& landed) {
        logMessage("ERROR: The runtime package %s put %llu bytes in %llu entries on disk, past the limits of %llu bytes "
                   "(maxRuntimeUnpackedMiB) and %llu entries (maxRuntimeUnpackedEntries).\n",
                   package.c_str(), static_cast<unsigned long long>(landed.bytes),
                   static_cast<unsigned long long>(landed.entries), static_cast<unsigned long long>(limits.maxBytes),
                   static_cast<unsigned long long>(limits.maxEntries));
        return failedWith(true);
    };
    const auto refusedListing = [&](const ListingVerdict& verdict) {
        switch (verdict.cause) {
            case ListingVerdict::Cause::UnreadableLine: return unsafePackage(verdict.entry, "unreadable listing line");
            case ListingVerdict::Cause::UnsafeEntry: return unsafePackage(verdict.entry, verdict.reason);
            case ListingVerdict::Cause::TooLong:
                logMessage("ERROR: The listing of the runtime package %s is longer than %zu bytes; the package is "
                           "refused.\n",
                           package.c_str(), kMaxCommandOutputBytes);
                break;
            case ListingVerdict::Cause::TooManyBytes:
                logMessage("ERROR: The runtime package %s unpacks to %llu bytes by its member %s, more than the limit "
                           "of %llu bytes (maxRuntimeUnpackedMiB).\n",
                           package.c_str(), static_cast<unsigned long long>(verdict.bytes), verdict.entry.c_str(),
                           static_cast<unsigned long long>(limits.maxBytes));
                break;
            case ListingVerdict::Cause::TooManyEntries:
                logMessage("ERROR: The runtime package %s holds more than %llu entries (maxRuntimeUnpackedEntries).\n",
                           package.c_str(), static_cast<unsigned long long>(limits.maxEntries));
                break;
        }
        return failedWith(true);
    };
    // The listing is judged line by line as tar prints it; tar stops at the
    // first line that refuses the package.
    ListingJudge judge(limits);
    RunOptions listingOptions = options;
    listingOptions.output = [&judge](std::string_view piece) { return judge.add(piece); };

    if (m_config.cacheRuntimeArchives && fileExists(package)) {
        logMessage("Info: Runtime package file already exists. Skipping download step.\n");
    } else {
        logMessage("Info: Downloading runtime package for %s...\n", name.c_str());
        const std::string link = family->second->getRuntimeDownloadLink(name);
        if (link.empty()) {
            logMessage("ERROR: couldn't find a download link for the desired runtime.\n");
            return fail();
        }
        const std::string partial = package + ".part";
        std::string announcedMd5;
        bool downloaded = false;
        Md5Stream writtenMd5;
        uint64_t received = 0;
        bool tooBig = false;
        bool listingRefused = false;
        if (!m_cancelDownloadRequested) {
            // The download's end (whole, failed or cancelled) ends this
            // listing's input; its time starts with the download's.
            RunOptions streamedOptions = listingOptions;
            streamedOptions.timeout += std::chrono::seconds(ini().HTTPRequestTotalTimeout);
            StreamedPackageListing listing(m_services.runCommand, listingArgv("-"), streamedOptions);
            downloaded = downloadFile(link, partial, messagingManager, "RUNTIME_PACKAGE", "Downloading runtime package",
                                      &m_cancelDownloadRequested, &announcedMd5, [&](const char* data, size_t size) {
                                          received += size;
                                          if (received > m_config.maxPackageBytes && !tooBig) {
                                              // The download's own cancel flag ends it at once.
                                              tooBig = true;
                                              m_cancelDownloadRequested = true;
                                          }
                                          if (judge.refused() && !listingRefused) {
                                              // Nothing more of a refused package is worth fetching.
                                              listingRefused = true;
                                              m_cancelDownloadRequested = true;
                                          }
                                          writtenMd5.update(data, size);
                                          listing.add(data, size);
                                      });
            streamedListing = listing.finish(downloaded && !tooBig);
        }
        if (judge.verdict()) {
            deleteFile(partial);
            return refusedListing(*judge.verdict());
        }
        if (tooBig) {
            deleteFile(partial);
            logMessage("ERROR: The runtime package for %s is larger than the limit of %llu bytes "
                       "(maxRuntimePackageMiB); the download was stopped.\n",
                       name.c_str(), static_cast<unsigned long long>(m_config.maxPackageBytes));
            return fail();
        }
        if (!downloaded) {
            deleteFile(partial);
            if (m_cancelDownloadRequested) {
                logMessage("Info: Runtime download for %s was cancelled by the user.\n", name.c_str());
                m_downloadCancelled = true;
            } else {
                logMessage("ERROR: Failed to download the runtime package.\n");
            }
            return fail();
        }
        const std::string expected = normalizeAnnouncedMd5(announcedMd5);
        if (m_config.RuntimesStorageURL.empty() && !expected.empty()) {
            // The digest of the bytes as they were written (no second read).
            std::string actual = writtenMd5.finish();
            if (actual.empty()) actual = "<unreadable>";
            if (actual != expected) {
                logMessage("ERROR: Runtime package checksum mismatch for %s. Expected MD5: %s, got: %s\n", name.c_str(),
                           expected.c_str(), actual.c_str());
                deleteFile(partial);
                messagingManager.addMessage("RUNTIME_DOWNLOAD_CORRUPTED",
                                            "The downloaded runtime package appears to be corrupted (checksum "
                                            "mismatch). Please check your Internet connection and try again.",
                                            MessagingManager::MessageType::Warning);
                return fail();
            }
        }
        std::error_code ec;
        fs::rename(partial, package, ec);
        if (ec) {
            logMessage("ERROR: Failed to download the runtime package.\n");
            deleteFile(partial);
            return fail();
        }
    }
    if (intoSubfolder) {
        std::string error;
        std::error_code ec;
        if (removeTree(target.string(), &error)) fs::create_directories(target, ec);
        if (!error.empty() || ec) {
            logMessage("ERROR: Failed to create a folder for the runtime.\n");
            return fail();
        }
    }

    // tar reads a gzip package from this process, which inflates it faster
    // than tar's own gzip child. Anything but a clean run (a package that is
    // not gzip, damaged data, tar reporting a fault) is run again the plain
    // way, tar reading the package itself, so that a fault gets tar's own
    // status and words. `beforeRetry` undoes what the first run wrote (a
    // run stopped by its output reader or a cancel is not run again).
    const auto runTar = [&](const std::function<std::vector<std::string>(const std::string& archive)>& argvFor,
                            const std::function<void()>& beforeRetry, const RunOptions& runOptions) -> CommandOutput {
        if (m_cancelDownloadRequested) return {};
        const auto reader = GzipReader::openFile(package);
        if (!reader->isGzip()) return m_services.runCommand(argvFor(package), runOptions);
        const auto started = std::chrono::steady_clock::now();
        RunOptions fed = runOptions;
        fed.input = [&reader](std::string& block) { return reader->next(&block); };
        CommandOutput output = m_services.runCommand(argvFor("-"), fed);
        // Not started, cancelled or out of time: as the plain run would be.
        if (output.exitCode == -1) return output;
        if (output.exitCode == 0 && reader->readToEnd(StreamedPackageListing::kMaxTrailingBytes)) return output;
        if (beforeRetry) beforeRetry();
        if (m_cancelDownloadRequested) return {};
        RunOptions plain = runOptions;
        plain.timeout = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     runOptions.timeout - (std::chrono::steady_clock::now() - started)),
                                 std::chrono::milliseconds(1));
        return m_services.runCommand(argvFor(package), plain);
    };

    messagingManager.addMessage("RUNTIME_EXTRACTION", "Extracting runtime from package",
                                MessagingManager::MessageType::Info);
    // A listing streamed with the download counts; otherwise the package is
    // listed from its file (the judge forgets what an unfinished run read).
    if (!streamedListing) judge.reset();
    const CommandOutput listed = streamedListing && !m_cancelDownloadRequested
                                     ? *streamedListing
                                     : runTar(listingArgv, [&judge] { judge.reset(); }, listingOptions);
    if (m_cancelDownloadRequested) {
        messagingManager.removeMessage("RUNTIME_EXTRACTION");
        return cancelled();
    }
    if (judge.refused() || (listed.exitCode == 0 && !judge.finish())) {
        messagingManager.removeMessage("RUNTIME_EXTRACTION");
        return refusedListing(*judge.verdict());
    }
    if (listed.exitCode != 0) {
        messagingManager.removeMessage("RUNTIME_EXTRACTION");
        return extractionFailed(listed.exitCode, listed.output, listed.exitCode != -1);
    }
    if (listed.truncated) {
        messagingManager.removeMessage("RUNTIME_EXTRACTION");
        logMessage("ERROR: The listing of the runtime package %s is longer than %zu bytes; the package is refused.\n",
                   package.c_str(), kMaxCommandOutputBytes);
        return failedWith(true);
    }
    const PackageListing& listing = judge.listing();
    std::string stagingError;
    const std::string staging = createStagingFolder(runtimeFolder, &stagingError);
    if (staging.empty()) {
        messagingManager.removeMessage("RUNTIME_EXTRACTION");
        logMessage("ERROR: Failed to create a folder for the runtime.\n");
        return fail();
    }
    ScopedFolder stagingGuard(staging, shuttingDown);
    // Stops tar (through the cancel flag) once what landed is past the limits.
    StagingWatch watch(staging, limits, &m_cancelDownloadRequested);
    const CommandOutput extracted = runTar(
        [&staging](const std::string& archive) {
            return std::vector<std::string>{"tar", "--force-local", "-xf", archive, "-C", staging, "--no-same-owner",
                                            "--no-same-permissions"};
        },
        [&staging, &shuttingDown] {
            std::string error;
            removeTree(staging, &error, shuttingDown);
            std::error_code ec;
            fs::create_directory(staging, ec);
        },
        options);
    const auto passed = watch.finish();
    messagingManager.removeMessage("RUNTIME_EXTRACTION");
    if (passed) return pastLimits(*passed);
    if (m_cancelDownloadRequested) return cancelled();
    if (extracted.exitCode == -1) return extractionFailed(-1, extracted.output, false);
    // What landed, whatever tar read it from: within the limits and nothing
    // the listing does not show.
    const StagedSize landed = measureStagedTree(staging, limits, &listing);
    if (landed.pastLimits) return pastLimits(landed);
    if (landed.unlisted) {
        logMessage("ERROR: The runtime package %s unpacked %s, which its listing does not show.\n", package.c_str(),
                   landed.unlisted->c_str());
        return failedWith(true);
    }
    const auto missing = findMissingStagedEntry(staging, listing);
    // Every member on disk as listed, and the library among them: tar may
    // also report metadata trouble, which a whole tree makes good enough.
    const bool libraryFound = fs::is_regular_file(fs::path(staging) / kRuntimeLibraryFileName);
    if (extracted.exitCode != 0 && (!libraryFound || missing)) {
        return extractionFailed(extracted.exitCode, extracted.output, true);
    }
    if (missing) {
        logMessage("ERROR: The runtime package %s is incomplete after extraction: %s is missing or cut short.\n",
                   package.c_str(), missing->c_str());
        return failedWith(true);
    }
    if (!libraryFound) {
        logMessage("ERROR: The runtime package %s holds no %s.\n", package.c_str(), kRuntimeLibraryFileName);
        return failedWith(true);
    }
    if (extracted.exitCode != 0) {
        logMessage(
            "Warning: tar exited with status %d while extracting the runtime package, but the runtime library was "
            "found on disk. Treating the extraction as successful. Output: %s\n",
            extracted.exitCode, extracted.output.c_str());
    }
    // Each step after tar looks at the cancel flag first: a shutdown or a
    // reselection is never followed by Ready.
    if (m_cancelDownloadRequested) return cancelled();
    if (const auto refused = findUnsafeStagedEntry(staging)) return unsafePackage(refused->name, refused->reason);

    if (m_cancelDownloadRequested) return cancelled();
    forgetInstalledRuntimeName();
    std::string mergeError;
    if (!mergeStagedTree(staging, target.string(), kRuntimeLibraryFileName, &mergeError)) {
        logMessage("ERROR: Failed to move the unpacked runtime into %s: %s\n", target.c_str(), mergeError.c_str());
        return failedWith(false);
    }

    logMessage("Info: Runtime %s downloaded successfully.\n", name.c_str());
    if (m_config.cacheRuntimeArchives) {
        logMessage("Info: Caching the runtime package file as per configuration.\n");
    } else {
        std::error_code ec;
        fs::remove(package, ec);
        if (ec) logMessage("ERROR: Failed to delete the tar file: %s\n", package.c_str());
        else logMessage("Info: Deleted the tar file successfully.\n");
    }
    // The merged runtime has no name file yet, so a cancel here leaves it
    // uninstalled.
    if (m_cancelDownloadRequested) return cancelled();
    return markReady(messagingManager, name, RuntimeState::Installing);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
