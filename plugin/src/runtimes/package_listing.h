// Reading a runtime package's member listing and judging each member before
// anything of the package is written to disk.
//
// The listing is the text of `tar --numeric-owner --quoting-style=c -tvf`:
// one member per line, the type character and mode, owner, size, date and
// time, then the C-quoted name and, for links, ` -> "target"` (symbolic) or
// ` link to "target"` (hard). Names are relative to the package root; a
// leading "./" is dropped.
//
// Plain functions on plain data; thread-safe; nothing here touches the disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Names the installer itself writes in the runtime folder.
inline constexpr const char* kInstalledNameFile = "installed_runtime.txt";
inline constexpr const char* kStagingFolderPrefix = ".staging-";

struct PackageEntry {
    char type = '?';       // '-' file, 'd' folder, 'l' symbolic link, 'h' hard link, others as tar prints them
    std::string mode;      // the nine permission characters, e.g. "rwsr-xr-x"
    uint64_t size = 0;     // as listed; only a regular file may have one
    std::string name;      // without a leading "./" and without a trailing "/"
    std::string linkTarget;  // of a symbolic or hard link
};

struct PackageListing {
    std::vector<PackageEntry> entries;
    // The first line that could not be read, when there is one.
    std::optional<std::string> unreadableLine;
};

// Parses a whole listing. Empty lines and tar's own "tar: " diagnostics are
// skipped.
PackageListing parsePackageListing(const std::string& text);

// Reads one line of a listing (without its line end) into *listing: appends
// its entry, skips it as parsePackageListing does, or returns false (and
// sets unreadableLine unless an earlier line did).
bool readListingLine(std::string line, PackageListing* listing);

// A member name as tar writes it to disk: its components joined by "/",
// without empty and "." ones ("./a//b/." is "a/b").
std::string memberPath(const std::string& name);

// What a package may take once unpacked.
struct PackageLimits {
    uint64_t maxBytes = 0;    // disk of all entries, each at entryDiskCost
    uint64_t maxEntries = 0;  // files, folders and links
};

// Disk an entry of `size` bytes takes at least: its size rounded up to whole
// blocks of kEntryBlockBytes, and one block for an entry without data (a
// folder, a link or an empty file holds a block or an inode).
inline constexpr uint64_t kEntryBlockBytes = 4096;
uint64_t entryDiskCost(uint64_t size);

// Undoes C quoting of the text between `begin` (just after the opening quote)
// and the closing quote; `*end` receives the index after the closing quote.
// Empty optional when the text is not a well-formed quoted string.
std::optional<std::string> readCQuoted(const std::string& text, size_t begin, size_t* end);

// Why an entry may not be extracted, or empty optional when it is safe: an
// absolute name, a ".." component, a name the installer keeps for its own
// files, a symbolic link whose target is refused by symbolicLinkTargetReason,
// a hard link to an absolute or ".." name, a type other than file, folder,
// symbolic or hard link, a link or folder with a size (tar lists such a
// member by its size and skips its data, but unpacking reads that data as
// further members the listing never shows), or a setuid/setgid mode.
std::optional<std::string> unsafeEntryReason(const PackageEntry& entry);

// Why a symbolic link's target is refused, or empty optional: an empty or
// absolute target, or one with a ".." component. A relative target without
// ".." can only lead below the folder holding the link, and every link it
// passes through does the same, so no chain of such links leaves the package
// however the links point at each other (a link to "." included). Judging a
// target by its text alone would not do: "b/c -> ." makes the text
// "b/c/../../x" look inside while it resolves one folder above the root.
std::optional<std::string> symbolicLinkTargetReason(const std::string& target);

// True when the first component of `name` is one the installer writes in the
// runtime folder itself: the installed runtime's name file (and temporaries
// named after it) and the staging folders.
bool isInstallerOwnName(const std::string& name);

// The "X-Checksum-Md5" header value as compared with a file's MD5: white
// space around it trimmed, lower case.
std::string normalizeAnnouncedMd5(const std::string& header);

}  // namespace qz::vms_server_plugins::analytics::qzai
