// The staging folder a runtime package is unpacked into before it joins the
// runtime folder: created beside the runtime files (same file system, so
// moving is a rename), checked again on disk, compared with the package's
// listing, then merged entry by entry without following any link.
//
// Plain functions; none throws; each works on the folders it is given and
// must not run twice at once on the same folder.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "runtimes/package_listing.h"

namespace qz::vms_server_plugins::analytics::qzai {

// A member refused by a check: its name relative to the package root and why.
struct RefusedEntry {
    std::string name;
    std::string reason;
};

// Holds when a removal must stop where it is (e.g. for shutdown); what is
// left is removed at the next start. May be empty: never.
using StopRemoval = std::function<bool()>;

// Removes a file, link or folder tree without following links, giving the
// owner full rights on each folder before emptying it. False with *error
// naming what could not be removed, or where `stop` ended the removal (it is
// asked before each entry, so a stop is seen within one entry's removal).
bool removeTree(const std::string& path, std::string* error, const StopRemoval& stop = {});

// "<runtimeFolder>/.staging-<pid>-<n>", created empty. Empty text with
// *error set when it cannot be created.
std::string createStagingFolder(const std::string& runtimeFolder, std::string* error);

// Removes ".staging-*" folders in the runtime folder and "*.part" files in the
// cache folder that an interrupted installation left behind; logs any it
// cannot remove. Once `stop` holds the rest waits for a later call.
void removeInstallationLeftovers(const std::string& runtimeFolder, const std::string& cacheFolder,
                                 const StopRemoval& stop = {});

// Walks the unpacked tree without following links: only files, folders and
// symbolic links whose targets symbolicLinkTargetReason accepts, no
// setuid/setgid file, and nothing named like the installer's own files.
std::optional<RefusedEntry> findUnsafeStagedEntry(const std::string& stagingFolder);

// The first listed member that is not on disk as listed (a file at its size,
// a folder, a link); empty when the staging folder holds every member.
std::optional<std::string> findMissingStagedEntry(const std::string& stagingFolder, const PackageListing& listing);

// What a staged tree takes on disk.
struct StagedSize {
    uint64_t bytes = 0;    // each entry at entryDiskCost of its size or its allocated blocks, the larger
    uint64_t entries = 0;  // the staging folder itself not counted
    bool pastLimits = false;              // the walk stopped past a limit
    std::optional<std::string> unlisted;  // the walk stopped at an entry the listing does not show
};

// Walks the tree without following links, stopping once it is past `limits`
// and, given a listing, at the first entry whose name it does not show (a
// folder above a listed name counts as shown). Folders get owner rights as
// they are entered, so that nothing hides below one left unreadable. May
// run while tar writes: an entry that changes under it is skipped.
StagedSize measureStagedTree(const std::string& stagingFolder, const PackageLimits& limits,
                             const PackageListing* listing = nullptr);

// Moves every staged entry into `target`: whatever stands in the way of an
// entry is replaced (links are never followed), real folders are merged,
// staged folders get owner write rights so they can move, and the top-level
// library file goes last so that it appears only with everything else in
// place. Entries of `target` that the package does not hold stay. False
// with *error set at the first entry that cannot be moved.
bool mergeStagedTree(const std::string& stagingFolder, const std::string& target, const std::string& lastEntry,
                     std::string* error);

}  // namespace qz::vms_server_plugins::analytics::qzai
