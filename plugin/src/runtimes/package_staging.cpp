#include "runtimes/package_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <unordered_set>
#include <vector>

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> g_stagingCounter{0};

std::string relativeName(const fs::path& root, const fs::path& path) {
    return path.lexically_relative(root).generic_string();
}

// The children of a folder, read before any of them moves.
std::vector<fs::path> childrenOf(const fs::path& folder, std::error_code& ec) {
    std::vector<fs::path> children;
    for (const auto& child : fs::directory_iterator(folder, ec)) children.push_back(child.path());
    return children;
}

// Gives the owner full rights on every folder of a tree, never following a
// link, so that its entries can be moved out or removed whatever modes the
// package gave them.
void makeFoldersWritable(const fs::path& root) {
    struct stat info {};
    if (::lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    ::chmod(root.c_str(), (info.st_mode & 07777) | S_IRWXU);
    std::error_code ec;
    for (const auto& child : childrenOf(root, ec)) makeFoldersWritable(child);
}

// Depth first, asking `stop` before each entry; see removeTree.
bool removeEntry(const fs::path& path, const StopRemoval& stop, std::string* error) {
    if (stop && stop()) {
        *error = path.string() + ": stopped before it was removed";
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return true;
        *error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::error_code ec;
    if (S_ISDIR(info.st_mode)) {
        ::chmod(path.c_str(), (info.st_mode & 07777) | S_IRWXU);
        for (const auto& child : childrenOf(path, ec)) {
            if (!removeEntry(child, stop, error)) return false;
        }
        if (ec) {
            *error = path.string() + ": " + ec.message();
            return false;
        }
    }
    fs::remove(path, ec);
    if (ec) *error = path.string() + ": " + ec.message();
    return !ec;
}

bool moveEntry(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code ec;
    const fs::file_status source = fs::symlink_status(from, ec);
    if (ec) {
        *error = from.string() + ": " + ec.message();
        return false;
    }
    const fs::file_status existing = fs::symlink_status(to, ec);
    if (fs::is_directory(source) && fs::is_directory(existing)) {
        const auto children = childrenOf(from, ec);
        if (ec) {
            *error = from.string() + ": " + ec.message();
            return false;
        }
        for (const auto& child : children) {
            if (!moveEntry(child, to / child.filename(), error)) return false;
        }
        return true;
    }
    if (fs::exists(existing) && (fs::is_directory(existing) || fs::is_directory(source))) {
        // What stands in the way goes, whatever its type: a link itself (never
        // what it leads to), a file where the package has a folder, a folder
        // where it has a file or link.
        if (!removeTree(to.string(), error)) return false;
    }
    // rename() replaces a file or link at the destination without following it.
    fs::rename(from, to, ec);
    if (ec) {
        *error = to.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

bool removeTree(const std::string& path, std::string* error, const StopRemoval& stop) {
    return removeEntry(path, stop, error);
}

std::string createStagingFolder(const std::string& runtimeFolder, std::string* error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = fs::path(runtimeFolder) / (std::string(kStagingFolderPrefix) + std::to_string(::getpid()) +
                                                          "-" + std::to_string(g_stagingCounter++));
        std::error_code ec;
        if (fs::create_directory(path, ec)) return path.string();
        if (ec) {
            *error = ec.message();
            return {};
        }
    }
    *error = "no free staging folder name";
    return {};
}

void removeInstallationLeftovers(const std::string& runtimeFolder, const std::string& cacheFolder,
                                 const StopRemoval& stop) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtimeFolder, ec)) {
        const std::string name = entry.path().filename().string();
        std::string error;
        if (name.rfind(kStagingFolderPrefix, 0) != 0 || removeTree(entry.path().string(), &error, stop)) continue;
        if (stop && stop()) return;
        logMessage("Warning! Failed to remove the unfinished installation %s\n", error.c_str());
    }
    for (const auto& entry : fs::directory_iterator(cacheFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
            std::error_code removeError;
            fs::remove(entry.path(), removeError);
            if (removeError) {
                logMessage("Warning! Failed to remove the unfinished download %s: %s\n", entry.path().c_str(),
                           removeError.message().c_str());
            }
        }
    }
}

std::optional<RefusedEntry> findUnsafeStagedEntry(const std::string& stagingFolder) {
    const fs::path root(stagingFolder);
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec) return RefusedEntry{".", ec.message()};
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string name = relativeName(root, path);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return RefusedEntry{name, "cannot be examined"};
        if (it.depth() == 0 && isInstallerOwnName(name)) return RefusedEntry{name, "name kept for the installer's own files"};
        if (S_ISLNK(info.st_mode)) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(path, linkError);
            if (linkError) return RefusedEntry{name, linkError.message()};
            if (const auto reason = symbolicLinkTargetReason(target.string())) return RefusedEntry{name, *reason};
            continue;
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return RefusedEntry{name, "device, fifo or socket"};
        if (info.st_mode & (S_ISUID | S_ISGID)) return RefusedEntry{name, "setuid or setgid mode"};
    }
    if (ec) return RefusedEntry{".", ec.message()};
    return std::nullopt;
}

std::optional<std::string> findMissingStagedEntry(const std::string& stagingFolder, const PackageListing& listing) {
    const fs::path root(stagingFolder);
    for (const auto& entry : listing.entries) {
        if (entry.name.empty()) continue;
        struct stat info {};
        const fs::path path = root / entry.name;
        if (::lstat(path.c_str(), &info) != 0) return entry.name;
        bool complete = true;
        switch (entry.type) {
            case '-': complete = S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) == entry.size; break;
            case 'h': complete = S_ISREG(info.st_mode); break;
            case 'd': complete = S_ISDIR(info.st_mode); break;
            case 'l': complete = S_ISLNK(info.st_mode); break;
            default: complete = false;
        }
        if (!complete) return entry.name;
    }
    return std::nullopt;
}

StagedSize measureStagedTree(const std::string& stagingFolder, const PackageLimits& limits,
                             const PackageListing* listing) {
    std::unordered_set<std::string> shown;
    std::unordered_set<std::string> above;  // folders tar makes for the names below them
    if (listing) {
        for (const auto& entry : listing->entries) {
            std::string path = memberPath(entry.name);
            if (path.empty()) continue;
            for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
                above.insert(path.substr(0, slash));
            }
            shown.insert(std::move(path));
        }
    }
    StagedSize size;
    const fs::path root(stagingFolder);
    std::vector<std::string> folders = {std::string()};  // relative names still to read
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        std::error_code ec;
        for (fs::directory_iterator it(folder.empty() ? root : root / folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string leaf = it->path().filename().string();
            const std::string name = folder.empty() ? leaf : folder + "/" + leaf;
            struct stat info {};
            if (::lstat(it->path().c_str(), &info) != 0) continue;
            const uint64_t allocated = static_cast<uint64_t>(info.st_blocks) * 512;
            const uint64_t cost = entryDiskCost(std::max(static_cast<uint64_t>(info.st_size), allocated));
            size.bytes = cost > UINT64_MAX - size.bytes ? UINT64_MAX : size.bytes + cost;
            ++size.entries;
            if (size.entries > limits.maxEntries || size.bytes > limits.maxBytes) {
                size.pastLimits = true;
                return size;
            }
            const bool isFolder = S_ISDIR(info.st_mode);
            if (listing && shown.count(name) == 0 && !(isFolder && above.count(name) != 0)) {
                size.unlisted = name;
                return size;
            }
            if (!isFolder) continue;
            if ((info.st_mode & S_IRWXU) != S_IRWXU) ::chmod(it->path().c_str(), (info.st_mode & 07777) | S_IRWXU);
            folders.push_back(name);
        }
    }
    return size;
}

bool mergeStagedTree(const std::string& stagingFolder, const std::string& target, const std::string& lastEntry,
                     std::string* error) {
    const fs::path from(stagingFolder);
    const fs::path to(target);
    std::error_code ec;
    const auto children = childrenOf(from, ec);
    if (ec) {
        *error = from.string() + ": " + ec.message();
        return false;
    }
    makeFoldersWritable(from);
    bool hasLast = false;
    for (const auto& child : children) {
        const std::string name = child.filename().string();
        if (name == lastEntry) {
            hasLast = true;
            continue;
        }
        if (!moveEntry(child, to / name, error)) return false;
    }
    return !hasLast || moveEntry(from / lastEntry, to / lastEntry, error);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
